"""Standard result writer of the one-zone disk model (native module).

standard_writer_func (exported natively) fills N_RESULT_FIELDS_PY = 20 rows per
step; RESULT_FIELDS holds (name, unit, meaning) of each row, in row order: the
one table of the result rows (units CGS, "" for dimensionless).
extended_writer_func appends the rows a closure reports as extra values
(radiated fraction, branch): N_EXTENDED_RESULT_FIELDS_PY = 22 rows, named by
EXTENDED_RESULT_FIELDS (whose first 20 entries are RESULT_FIELDS).
"""

from typing import Final

N_RESULT_FIELDS_PY: int
N_EXTENDED_RESULT_FIELDS_PY: int
RESULT_FIELDS: Final[tuple[tuple[str, str, str], ...]]
EXTENDED_RESULT_FIELDS: Final[tuple[tuple[str, str, str], ...]]
__native_api__: dict[str, object]
