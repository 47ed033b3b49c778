"""Sweep throughput: 16+ disk models on one thread and on a pool of two threads.

The integrator releases the interpreter lock for its whole time loop, so two
threads should approach twice the throughput of one on two free cores.  What
stays serial is the Python part of each model (argument checks, building the
closure and opacity, allocating and copying the result, the labelled wrapper),
reported here as the share of one model's time spent outside the native
integration.

Two sweeps are timed: Euler steps at epsilon = 1e-4 (long native loops, ~30 ms
a model) and the default adaptive integrator (~2 ms a model, so the Python
part weighs more).

    python benchmarks/bench_sweep.py [n_models]
"""

import concurrent.futures as cf
import os
import sys

import numpy as np

from velquor.sweep import grid, run_grid
from velquor.tde import TDEDisk, available_integrators

from _timing import best_of


def models(n, **fixed):
    axes = grid(M_BH=[3e5, 1e6, 3e6, 1e7], alpha=[0.03, 0.1, 0.3, 1.0], opacity=["es", "kramers"])
    return [dict(p, t_end_days=3.6525e5, max_steps=2_000_000, **fixed) for p in (axes * (n // len(axes) + 1))[:n]]


def python_share(params):
    """Fraction of one model's wall time spent outside the native loop."""
    disk = TDEDisk(**params)
    closure = disk.make_closure()
    integrate = disk._integrator()
    state = disk.initial_state
    t_native = best_of(3, lambda: integrate(state, closure))
    t_total = best_of(3, lambda: TDEDisk(**params).run())
    return max(0.0, 1.0 - t_native / t_total), t_total


def sweep(title, params, repeats):
    n_models = len(params)
    columns = sum(TDEDisk(**p).run().n for p in params)

    def serial():
        for p in params:
            TDEDisk(**p).run()

    def pool(n_threads):
        def go():
            with cf.ThreadPoolExecutor(n_threads) as ex:
                results = run_grid(params, executor=ex)
            assert all(r.ok for r in results)

        return go

    # The two sweeps must agree with each other before their speed means anything.
    with cf.ThreadPoolExecutor(2) as ex:
        a = run_grid(params, executor=ex)
    b = run_grid(params, max_workers=1)
    assert all(np.array_equal(x.run.data, y.run.data) for x, y in zip(a, b))

    t_loop = best_of(repeats, serial)
    t_one = best_of(repeats, pool(1))
    t_two = best_of(repeats, pool(2))
    share, t_model = python_share(params[0])

    print(f"{title}: {n_models} models, {columns} result columns in all, best of {repeats}")
    print(f"{'variant':<36}{'seconds':>10}{'models/s':>10}{'ratio':>8}")
    for name, t in [("plain loop, no executor", t_loop), ("ThreadPoolExecutor(1)", t_one), ("ThreadPoolExecutor(2)", t_two)]:
        print(f"{name:<36}{t:>10.3f}{n_models / t:>10.1f}{t_one / t:>7.2f}x")
    print(f"speed-up of two threads over one: {t_one / t_two:.2f}x")
    print(f"one model: {1e3 * t_model:.1f} ms, of which {100 * share:.1f}% outside the native integration")
    amdahl = 1.0 / (share + (1.0 - share) / 2.0)
    print(f"bound from that serial share on two free cores (Amdahl): {amdahl:.2f}x")
    print()


def main(n_models=16, repeats=3):
    print(f"cores: {os.cpu_count()}, load average: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print()
    sweep("Euler, epsilon = 1e-4", models(n_models, integrator="euler", epsilon=1e-4), repeats)
    if "adaptive" in available_integrators():
        sweep("adaptive, rtol = 1e-6, 2000 output times", models(n_models, integrator="adaptive"), repeats)


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 16)
