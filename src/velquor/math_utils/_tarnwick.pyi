"""Root finding for one scalar equation: bracket expansion and Brent's method."""

from collections.abc import Callable
from typing import Any, SupportsFloat, SupportsIndex, SupportsInt, TypeAlias

_Real: TypeAlias = SupportsFloat | SupportsIndex
# Results without a float conversion are accepted and count as a failed evaluation.
_ScalarFunction: TypeAlias = Callable[[float], object]

__native_api__: dict[str, Any]

def py_expand_bracket(
    f: _ScalarFunction,
    x_guess: _Real,
    step: _Real,
    grow_factor: _Real,
    max_expand: SupportsInt,
    x_min: _Real,
    x_max: _Real,
    tolerance: _Real,
) -> tuple[int, float, float, float, float]: ...
def py_brent_root(
    f: _ScalarFunction,
    x_lo: _Real,
    x_hi: _Real,
    f_lo: _Real,
    f_hi: _Real,
    tol_x: _Real,
    tol_f: _Real,
    maxiter: SupportsInt,
) -> tuple[int, float]: ...
def py_find_root(
    f: _ScalarFunction,
    x_guess: _Real,
    step: _Real,
    grow_factor: _Real,
    max_expand: SupportsInt,
    x_min: _Real,
    x_max: _Real,
    tolerance: _Real,
    tol_x: _Real,
    tol_f: _Real,
    maxiter: SupportsInt,
) -> tuple[int, float]: ...
