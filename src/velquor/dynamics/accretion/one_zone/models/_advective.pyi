"""Advective closure of the one-zone disk model (native module)."""

from typing import Any, ClassVar, Self

from typing_extensions import disjoint_base

from velquor.dynamics.accretion.one_zone.models._hollin import FullPressureClosure
from velquor.dynamics.accretion.one_zone.physics._parcelwrap import CAdvection

@disjoint_base
class AdvectiveClosure(FullPressureClosure):
    """Closure with radiative and advective cooling, on the stable root of the disk's branch."""

    __native_vtable__: ClassVar[object]  # capsule holding the native method table

    def __new__(cls, with_fallback: Any = False, mu: float = 0.6, xi: float = 1.0) -> Self: ...  # type: ignore[override]
    @property
    def _xi(self) -> float:
        """Advection parameter [-]."""
    @property
    def _advection_obj(self) -> CAdvection | None: ...
    @property
    def _advection_ptr(self) -> int | None: ...

__native_api__: dict[str, object]
