"""Closure base class and physical constants of the one-zone disk model (CGS)."""

from typing import ClassVar, Self

from typing_extensions import disjoint_base

from velquor.radiation.opacity.murkwell import C_GreyMurkwell

@disjoint_base
class OneZoneClosure:
    """Base class of one-zone disk closures."""

    __native_vtable__: ClassVar[object]  # capsule holding the native method table

    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    def is_ready(self) -> bool: ...
    @property
    def opacity(self) -> C_GreyMurkwell | None: ...
    @opacity.setter
    def opacity(self, value: C_GreyMurkwell | None) -> None: ...
    @property
    def n_result_fields(self) -> int: ...
    @property
    def _c_opacity(self) -> C_GreyMurkwell | None: ...
    @property
    def _opacity_ptr(self) -> int | None: ...
    @property
    def _closure_fn(self) -> int | None: ...
    @property
    def _derivative_fn(self) -> int | None: ...
    @property
    def _writer_fn(self) -> int | None: ...
    @property
    def _source_fn(self) -> int | None: ...
    @property
    def _runs_in_progress(self) -> int: ...

DISK_A: float
DISK_B: float
DISK_F0: float
DISK_XI: float
G_CGS: float
KAPPA_ES: float
K_B_CGS: float
LOG_DISK_A: float
LOG_DISK_F0: float
LOG_DISK_XI: float
LOG_G_CGS: float
LOG_KAPPA_ES: float
LOG_K_B_CGS: float
LOG_M_P_CGS: float
LOG_PI: float
LOG_RAD_A_CGS: float
LOG_SIGMA_SB_CGS: float
M_P_CGS: float
RAD_A_CGS: float
SIGMA_SB_CGS: float
__native_api__: dict[str, object]
