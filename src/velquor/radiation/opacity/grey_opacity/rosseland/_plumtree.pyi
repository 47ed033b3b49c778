"""Kramers plus electron-scattering opacity (native module)."""

from typing import Any, ClassVar, NoReturn, Self

from typing_extensions import disjoint_base

from velquor.radiation.opacity.murkwell import C_GreyMurkwell

@disjoint_base
class C_PlumtreeOpacity(C_GreyMurkwell):
    """kappa = kappa_es + kappa0 rho T^-3.5; kappa0 [cm^5 g^-2 K^3.5], kappa_es [cm^2 g^-1]."""

    __native_vtable__: ClassVar[object]  # capsule holding the native method table

    def __new__(cls, kappa0: float, kappa_es: float = 0.34) -> Self: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any) -> NoReturn: ...
