"""Time integrator of the one-zone disk model."""

import numpy as np
import numpy.typing as npt

from velquor.dynamics.accretion.one_zone.closure import OneZoneClosure

def run_one_zone_model(
    initial_state: npt.NDArray[np.float64],
    t_start: float,
    t_end: float,
    max_steps: int,
    closure: OneZoneClosure,
    epsilon: float = 1e-06,
) -> npt.NDArray[np.float64]: ...
