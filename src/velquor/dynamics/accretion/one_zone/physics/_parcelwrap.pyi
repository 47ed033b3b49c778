"""Parameter holders of the one-zone closures (native module)."""

from typing import Any, ClassVar, NoReturn, Self

from typing_extensions import disjoint_base

@disjoint_base
class CFallback:
    """Power-law fallback parameters; read-only, owning the native FallbackParams record."""

    __native_vtable__: ClassVar[object]  # capsule holding the native method table

    def __new__(cls, M_fb_0: float, R_c: float, t_fb: float, beta_fb: float) -> Self: ...
    @property
    def M_fb_0(self) -> float:
        """Fallback rate at t = t_fb [g s^-1]."""
    @property
    def R_c(self) -> float:
        """Circularisation radius of the debris [cm]."""
    @property
    def t_fb(self) -> float:
        """Fallback time scale [s]."""
    @property
    def beta_fb(self) -> float:
        """Power-law index of the fallback rate [-]."""
    def ptr(self) -> int: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any) -> NoReturn: ...

@disjoint_base
class CAdvection:
    """Advection parameters; read-only, owning the native AdvectionParams record."""

    __native_vtable__: ClassVar[object]  # capsule holding the native method table

    def __new__(cls, xi: float) -> Self: ...
    @property
    def xi(self) -> float:
        """Advection parameter [-]."""
    def ptr(self) -> int: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any) -> NoReturn: ...
