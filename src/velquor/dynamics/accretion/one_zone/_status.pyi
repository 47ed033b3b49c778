"""Status table of the one-zone disk model (native module).

STATUSES holds (code, name, message) for every status of the root finder, the
thermal closures and the integrators; each value has one meaning.
"""

from typing import Final

STATUSES: Final[tuple[tuple[int, str, str], ...]]
