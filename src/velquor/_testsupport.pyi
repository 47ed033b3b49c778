"""Native helpers for velquor's tests and benchmarks (not a public API)."""

import numpy as np
import numpy.typing as npt

from velquor.dynamics.accretion.one_zone.closure import OneZoneClosure

class ScriptedClosure(OneZoneClosure):
    def __init__(self, **options: float | int | bool) -> None: ...
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
