"""Constant electron-scattering opacity (native module)."""

from typing import Any, ClassVar, Final, Self

from velquor.radiation.opacity.murkwell import C_GreyMurkwell

#: The package's electron-scattering opacity [cm^2 g^-1].
KAPPA_ES: Final[float]

class ElectronScatteringOpacity(C_GreyMurkwell):
    """kappa = KAPPA_ES [cm^2 g^-1], independent of density and temperature."""

    __native_vtable__: ClassVar[object]  # capsule holding the native method table

    def __new__(cls) -> Self: ...
    @property
    def kappa(self) -> float: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
