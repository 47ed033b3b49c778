"""velquor: one-zone accretion disks formed after tidal disruptions.

The package evolves the disk's mass and angular momentum with native time
integrators, solves its thermal state with a bracket-expanding Brent solver and
supplies grey Rosseland-mean opacities (analytic laws and tables).  Units are CGS
throughout; native interfaces pass natural logarithms.
"""

__version__ = "0.1.0"
