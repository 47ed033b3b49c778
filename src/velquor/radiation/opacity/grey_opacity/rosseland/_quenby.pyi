"""Tabulated grey Rosseland-mean opacity on a (log10 T, log10 R) grid (native module)."""

from types import ModuleType
from typing import Any, ClassVar, NoReturn, Self, SupportsInt

from typing_extensions import disjoint_base

import numpy
import numpy.typing as npt

from velquor.radiation.opacity.murkwell import C_GreyMurkwell

np: ModuleType

@disjoint_base
class C_QuenbyOpacity(C_GreyMurkwell):
    """Bilinear interpolation of log10 kappa in (log10 T, log10 R), R = rho / T6**3.

    The arrays are viewed, not copied.  oob: 0 raise, 1 clamp, 2 nan.
    """

    __native_vtable__: ClassVar[object]  # capsule holding the native method table

    def __new__(
        cls,
        g1: npt.NDArray[numpy.float64],
        g2: npt.NDArray[numpy.float64],
        lk: npt.NDArray[numpy.float64],
        oob: SupportsInt,
    ) -> Self: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any) -> NoReturn: ...
