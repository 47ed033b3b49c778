"""From a light curve to a black-hole mass: fitting the disk model to TDE photometry.

Quick start::

    from velquor.fit import TDEFit, read_photometry, synthetic_light_curve

    phot, truth = synthetic_light_curve(seed=1)        # or read_photometry("lc.csv")
    fit = TDEFit(phot, z=0.02)
    best = fit.maximize()                               # a quick best fit (seconds)
    result = fit.sample(chain="chain.npz")              # emcee until converged
    print(result.summary_text())                        # medians, 16/84 percentiles
    result.save("posterior.ecsv")
    result.corner().savefig("corner.png")
    result.plot_light_curves().savefig("light_curves.png")

The model is the disk of :class:`velquor.tde.TDEDisk` seen through the bands of
:mod:`velquor.observe` (plus, optionally, the empirical early blackbody of the
optical peak).  Every parameter, its unit and default prior is declared once,
in :data:`PARAMETERS`; any parameter can be fixed (``fixed={"beta": 1.0}``)
or given another prior (``priors={"M_BH": (1e5, 1e7)}``).

emcee, corner, dynesty (nested sampling) and scipy come with the extra
``velquor[fit]``; astropy with ``velquor[observe]``.
"""

from velquor.fit._data import UNITS, XRAY_BAND, Photometry, PhotometryError, read_photometry
from velquor.fit._fit import BestFit, ConvergenceWarning, TDEFit
from velquor.fit._priors import (
    DISRUPTION_WINDOW_DAYS,
    PARAMETERS,
    LogUniform,
    Normal,
    Parameter,
    Prior,
    Sine,
    Uniform,
    parameter_names,
)
from velquor.fit._result import DERIVED, FitResult
from velquor.fit._synthetic import DEMO_BANDS, DEMO_TRUTH, DEMO_Z, synthetic_light_curve

__all__ = [
    "BestFit",
    "ConvergenceWarning",
    "DEMO_BANDS",
    "DEMO_TRUTH",
    "DEMO_Z",
    "DERIVED",
    "DISRUPTION_WINDOW_DAYS",
    "FitResult",
    "LogUniform",
    "Normal",
    "PARAMETERS",
    "Parameter",
    "Photometry",
    "PhotometryError",
    "Prior",
    "Sine",
    "TDEFit",
    "UNITS",
    "Uniform",
    "XRAY_BAND",
    "parameter_names",
    "read_photometry",
    "synthetic_light_curve",
]
