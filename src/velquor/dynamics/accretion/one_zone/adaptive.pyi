"""Adaptive time integrator of the one-zone disk model."""

from typing import Literal

import numpy as np
import numpy.typing as npt

from velquor.dynamics.accretion.one_zone.closure import OneZoneClosure

def run_one_zone_model_adaptive(
    initial_state: npt.NDArray[np.float64],
    t_start: float,
    t_end: float,
    closure: OneZoneClosure,
    rtol: float = 1e-06,
    atol: float = 0.0,
    max_steps: int = 100000,
    t_eval: npt.ArrayLike | None = None,
    method: Literal["dopri5", "bs32"] = "dopri5",
) -> npt.NDArray[np.float64]: ...
