"""Full-pressure closure of the one-zone disk model (native module)."""

from typing import Any, ClassVar, NoReturn, Self

from typing_extensions import disjoint_base

from velquor.dynamics.accretion.one_zone.closure import OneZoneClosure
from velquor.dynamics.accretion.one_zone.physics._parcelwrap import CFallback

@disjoint_base
class FullPressureClosure(OneZoneClosure):
    """Closure solving sigma_SB T_c^4 = (27/32) alpha kappa Omega Sigma^2 c_s^2 for T_c [K]."""

    __native_vtable__: ClassVar[object]  # capsule holding the native method table

    def __new__(cls, gas_pressure_only: Any = False, with_fallback: Any = False, mu: float = 0.6) -> Self: ...
    def bind_runtime_parameters(self, run_params: dict[str, Any] | None) -> None: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any) -> NoReturn: ...
    @property
    def _mu(self) -> float:
        """Mean molecular weight [-]."""
    @property
    def _M_BH(self) -> float:
        """Black-hole mass [g]; NaN until bound."""
    @property
    def _R_in(self) -> float:
        """Inner disk radius [cm]; NaN until bound."""
    @property
    def _alpha(self) -> float:
        """Viscosity parameter [-]; NaN until bound."""
    @property
    def _has_fallback(self) -> int: ...
    @property
    def _fallback_obj(self) -> CFallback | None: ...
    @property
    def _fallback_ptr(self) -> int | None: ...
    @property
    def _params_bound(self) -> bool: ...

hollinClosure = FullPressureClosure
__native_api__: dict[str, object]
