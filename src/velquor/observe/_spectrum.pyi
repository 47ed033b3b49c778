"""Native kernels of velquor.observe (use the validated interface of velquor.observe)."""

import numpy as np
import numpy.typing as npt

_F64 = npt.NDArray[np.float64]

def spectrum(
    nu: _F64,
    mdot: _F64,
    r_out: _F64,
    M_BH: float,
    R_in: float,
    f_col: float,
    done12: bool,
    eddington_limited: bool,
    constants: _F64,
    out: _F64,
) -> None: ...
def photometry(
    coef: _F64,
    bound: _F64,
    grid: _F64,
    grid_weights: _F64,
    prefactor: _F64,
    mdot: _F64,
    r_out: _F64,
    channel: _F64,
    M_BH: float,
    R_in: float,
    f_col: float,
    done12: bool,
    eddington_limited: bool,
    constants: _F64,
    out: _F64,
) -> None: ...
