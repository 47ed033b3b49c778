"""Native helpers for velquor's tests and benchmarks (not a public API)."""

from typing import ClassVar, Self, final

import numpy as np
from typing_extensions import disjoint_base
import numpy.typing as npt

from velquor.dynamics.accretion.one_zone.closure import OneZoneClosure
from velquor.radiation.opacity.grey_opacity._wrenfold import C_WrenfoldOpacity
from velquor.radiation.opacity.grey_opacity.rosseland._plumtree import C_PlumtreeOpacity
from velquor.radiation.opacity.grey_opacity.rosseland._quenby import C_QuenbyOpacity
from velquor.radiation.opacity.murkwell import C_GreyMurkwell

@disjoint_base
class ScriptedClosure(OneZoneClosure):
    __native_vtable__: ClassVar[object]

    def __new__(cls, **options: float | int | bool) -> Self: ...
    @property
    def calls(self) -> int: ...
    @property
    def first_prev(self) -> tuple[float, ...] | None: ...
    @property
    def n_result_fields(self) -> int: ...
    @n_result_fields.setter
    def n_result_fields(self, value: int) -> None: ...
    drop_writer: bool

SCRIPTED_CLOSURE_SIZE: int
CLOSURE_SIZE: int

def bind_export(module: str, name: str, tag: str) -> int: ...
def bind_class(module: str, name: str, compiled_size: int, tag: str) -> type: ...
def march_plain(
    closure: OneZoneClosure,
    initial_state: npt.NDArray[np.float64],
    t_start: float,
    t_end: float,
    max_steps: int,
    epsilon: float,
) -> int: ...
def march_disk_plain(
    closure: OneZoneClosure,
    initial_state: npt.NDArray[np.float64],
    t_start: float,
    t_end: float,
    max_steps: int,
    epsilon: float,
    count: bool = ...,
    /,
) -> int | tuple[int, int]: ...
def thermal_solve_plain(
    closure: OneZoneClosure, R: float, Sigma: float, Omega: float, prev_log_T_c: float, /
) -> tuple[int, int, tuple[float, float, float] | None]: ...

# Third-party-style raisers (error-check tests): the overridden slot raises
# ValueError at call `raise_at` (counted from 0; -1: never) after answering.

@final
class RaisingGreyOpacity(C_GreyMurkwell):
    def __new__(cls) -> Self: ...
    calls: int
    raise_at: int
    value: float

@final
class RaisingKramersOpacity(C_PlumtreeOpacity):
    calls: int
    raise_at: int

@final
class RaisingTableOpacity(C_QuenbyOpacity):
    calls: int
    raise_at: int
    slot: str | None

OPACITY_RESIDUAL: int

def check_without_lock(
    raise_before: bool, raise_inside: bool, publish: bool, /
) -> tuple[int, bool, bool, bool]: ...
def check_on_foreign_thread(raise_inside: bool, /) -> tuple[int, bool, bool, bool]: ...
def no_thread_state_check() -> bool: ...
def table_bisect(
    table: C_QuenbyOpacity | C_WrenfoldOpacity, grid: npt.NDArray[np.float64], values: npt.NDArray[np.float64], /
) -> list[int]: ...
def table_find_cell(
    table: C_QuenbyOpacity | C_WrenfoldOpacity, x1: npt.NDArray[np.float64], x2: npt.NDArray[np.float64], /
) -> list[tuple[int, int, int]]: ...
