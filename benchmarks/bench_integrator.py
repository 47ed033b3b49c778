"""Cost per step of the Euler integrator with trivial native callbacks, next to the
very same loop with no pending-error checks and no lock traffic (the floor).

The difference is the price of the lock protocol: after each of the four
callbacks the integrator asks whether an exception is pending.

    python benchmarks/bench_integrator.py [n_steps]
"""

import sys

import numpy as np

from velquor._testsupport import ScriptedClosure, march_plain
from velquor.dynamics.accretion.one_zone.integrator import run_one_zone_model
from velquor.radiation.opacity.murkwell import C_GreyMurkwell

from _timing import best_of


def main(n_steps=500_000, repeats=5):
    closure = ScriptedClosure(dt=1.0, source=True)
    closure.opacity = C_GreyMurkwell()
    state = np.array([1.0, 1.0])
    t_end = 2.0 * n_steps

    def integrator():
        out = run_one_zone_model(state, 0.0, t_end, n_steps, closure, 0.5)
        assert out.shape[1] == n_steps

    def floor():
        assert march_plain(closure, state, 0.0, t_end, n_steps, 0.5) == n_steps

    t_int = best_of(repeats, integrator)
    t_floor = best_of(repeats, floor)
    print(f"Euler loop, trivial callbacks (closure, source, derivative, writer), {n_steps} steps, best of {repeats}")
    print(f"{'variant':<40}{'ns/step':>10}")
    print(f"{'plain C++ loop, no error checks':<40}{1e9 * t_floor / n_steps:>10.1f}")
    print(f"{'run_one_zone_model (4 error checks)':<40}{1e9 * t_int / n_steps:>10.1f}")
    print(f"ratio integrator / floor: {t_int / t_floor:.2f}x")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:2]))
