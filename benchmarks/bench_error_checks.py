"""What the "is an exception pending?" checks cost, baselines and ours side by side.

(a) run_one_zone_model on the reference disruption against the same model as a
    plain C++ loop (velquor._testsupport.march_disk_plain: no checks in the loop, the
    thermal solve compiled against a host that never asks the interpreter anything),
    for both thermal closures and two opacities, in ns per step.  The opacity's own
    operations are the same code in both (the table's internal checks included).
(b) The same run with a pure-Python busy thread alongside: the loop holds no lock, so
    the busy thread should cost it only the moments it takes the lock at its ends.
(c) Two runs on two threads (separate closures) against the same two runs one after
    the other on one thread: throughput ratio, and the results compared bit for bit.
(d) log_opacity_array of the OPAL table on 1e6 random points of its domain against
    SciPy's RegularGridInterpolator (linear) on the same points; the native values are
    compared bit for bit with a NumPy transcription of the interpolation.

On a machine shared with other work, timings are the best of several interleaved
repeats, and (b) and (c) need two idle cores to show what they measure.

    python benchmarks/bench_error_checks.py [--quick]
"""

import math
import os
import sys
import threading
import time
from pathlib import Path

import numpy as np
from scipy.interpolate import RegularGridInterpolator

from velquor._testsupport import march_disk_plain
from velquor.dynamics.accretion.one_zone import closure as C
from velquor.dynamics.accretion.one_zone.integrator import run_one_zone_model
from velquor.dynamics.accretion.one_zone.models._hollin import FullPressureClosure
from velquor.radiation.opacity import KramersOpacity
from velquor.radiation.opacity.grey_opacity.rosseland._quenby import C_QuenbyOpacity
from velquor.radiation.opacity.tables import read_opal_table

LN10 = 2.302585092994046
OPAL = Path(__file__).resolve().parent.parent / "tests" / "data" / "opacity" / "opal_gn93_x0.70_z0.02.txt"

# The reference disruption: a ring at the circularisation radius around 1e6 M_sun.
M_SUN = 1.3271244e26 / C.G_CGS
M_BH = 1e6 * M_SUN
R_C = 2 * 6.957e10 * 1e6 ** (1 / 3)
R_IN = 6 * C.G_CGS * M_BH / 2.99792458e10 ** 2
RUN_PARAMS = {"log_M_BH": math.log(M_BH), "log_R_in": math.log(R_IN), "alpha": 0.1}
# gas pressure: half the star for 1e13 s; gas + radiation: a ring light enough to
# have a thin-disk equilibrium (1e-3 M_sun) for 3e10 s
RUNS = {True: (0.5 * M_SUN, 1e13, 1e-4), False: (1e-3 * M_SUN, 3e10, 1e-5)}


def ring(mass):
    return np.array([mass, C.DISK_XI * mass * math.sqrt(C.G_CGS * M_BH * R_C)])


def make_closure(gas_pressure_only, opacity):
    closure = FullPressureClosure(gas_pressure_only)
    closure.opacity = KramersOpacity() if opacity == "Kramers" else C_QuenbyOpacity(*read_opal_table(OPAL), 1)
    closure.bind_runtime_parameters(RUN_PARAMS)
    return closure


def interleaved_best(repeats, *fns):
    """Best time of each function, the calls interleaved so that a disturbance
    spreads over all of them."""
    best = [math.inf] * len(fns)
    for _ in range(repeats):
        for k, fn in enumerate(fns):
            t0 = time.perf_counter()
            fn()
            best[k] = min(best[k], time.perf_counter() - t0)
    return best


def part_a(repeats):
    print("(a) run_one_zone_model vs the same model as a plain C++ loop, ns per step")
    print(f"{'closure':<10}{'opacity':<10}{'steps':>8}{'floor':>10}{'ours':>10}{'ratio':>8}")
    for gas in (True, False):
        mass, t_end, eps = RUNS[gas]
        state = ring(mass)
        for opacity in ("Kramers", "OPAL"):
            closure = make_closure(gas, opacity)
            n = run_one_zone_model(state, 0.0, t_end, 10_000_000, closure, eps).shape[1]
            floor, ours = interleaved_best(
                repeats,
                lambda: march_disk_plain(closure, state, 0.0, t_end, n, eps),
                lambda: run_one_zone_model(state, 0.0, t_end, n, closure, eps))
            name = "gas" if gas else "gas+rad"
            print(f"{name:<10}{opacity:<10}{n:>8}{1e9 * floor / n:>10.1f}{1e9 * ours / n:>10.1f}"
                  f"{ours / floor:>8.3f}")


def long_run():
    """The first 600 000 steps (a third of a second) of a gas-pressure Kramers run:
    long enough that taking the lock at its ends is negligible, short enough that
    its result (100 MB) does not make the two-thread case a test of the page
    allocator."""
    mass, t_end, _ = RUNS[True]
    closure = make_closure(True, "Kramers")
    return closure, ring(mass), t_end, 600_000, 1e-6


def part_b(repeats):
    closure, state, t_end, n, eps = long_run()

    def run():
        run_one_zone_model(state, 0.0, t_end, n, closure, eps)

    stop = threading.Event()

    def busy():
        x = 0
        while not stop.is_set():
            x += 1

    (alone,) = interleaved_best(repeats, run)
    spinner = threading.Thread(target=busy)
    spinner.start()
    try:
        (beside,) = interleaved_best(repeats, run)
    finally:
        stop.set()
        spinner.join()
    print(f"(b) a run of {n} steps alone: {1e3 * alone:.1f} ms; beside a pure-Python busy thread: "
          f"{1e3 * beside:.1f} ms; slowdown {100 * (beside / alone - 1):+.1f}%")


def part_c(repeats):
    _, state, t_end, n, eps = long_run()
    closures = [make_closure(True, "Kramers") for _ in range(2)]
    results = [None, None]

    def one(k):
        results[k] = run_one_zone_model(state, 0.0, t_end, n, closures[k], eps)

    def sequential():
        one(0)
        one(1)

    def parallel():
        threads = [threading.Thread(target=one, args=(k,)) for k in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    reference = run_one_zone_model(state, 0.0, t_end, n, closures[0], eps)
    t_seq, t_par = interleaved_best(repeats, sequential, parallel)
    identical = all(np.array_equal(r, reference) for r in results)
    print(f"(c) two runs of {n} steps: one thread {1e3 * t_seq:.1f} ms, two threads {1e3 * t_par:.1f} ms; "
          f"throughput {t_seq / t_par:.2f}x; results bit-identical: {identical}")


def numpy_log_kappa(g1, g2, lk, x1, x2):
    """The table's interpolation transcribed (mode 2, inside points), ln kappa."""
    i = np.minimum(np.searchsorted(g1, x1, side="right") - 1, len(g1) - 2).clip(0)
    j = np.minimum(np.searchsorted(g2, x2, side="right") - 1, len(g2) - 2).clip(0)
    tx = (x1 - g1[i]) / (g1[i + 1] - g1[i])
    ty = (x2 - g2[j]) / (g2[j + 1] - g2[j])
    v = ((1.0 - tx) * (1.0 - ty) * lk[i, j] + tx * (1.0 - ty) * lk[i + 1, j] + (1.0 - tx) * ty * lk[i, j + 1]
         + tx * ty * lk[i + 1, j + 1])
    return v * LN10


def part_d(repeats):
    g1, g2, lk = read_opal_table(OPAL)
    table = C_QuenbyOpacity(g1, g2, lk, 2)
    rgi = RegularGridInterpolator((g1, g2), lk, method="linear")
    rng = np.random.default_rng(2024)
    n = 1_000_000
    log_t = rng.uniform(g1[0], g1[-1], n) * LN10
    log_rho = (rng.uniform(g2[0], g2[-1], n) + 3.0 * (log_t / LN10 - 6.0)) * LN10
    # the coordinates exactly as the table forms them; the interpolator is handed them directly
    x1 = log_t / LN10
    x2 = log_rho / LN10 - 3.0 * (x1 - 6.0)
    xy = np.column_stack([x1, x2])

    ours = table.log_opacity_array(log_t, log_rho)
    identical = np.array_equal(ours, numpy_log_kappa(g1, g2, lk, x1, x2), equal_nan=True)
    sample = rng.integers(0, n, 2000)
    identical &= all(table.log_opacity(log_t[k], log_rho[k]) == ours[k] or np.isnan(ours[k]) for k in sample)
    np.testing.assert_allclose(ours / LN10, rgi(xy), rtol=0, atol=1e-10)
    t_ours, t_rgi = interleaved_best(repeats, lambda: table.log_opacity_array(log_t, log_rho), lambda: rgi(xy))
    print(f"(d) OPAL log_opacity_array on {n} random points: {1e9 * t_ours / n:.1f} ns/point; "
          f"RegularGridInterpolator {1e9 * t_rgi / n:.1f} ns/point; {t_rgi / t_ours:.2f}x faster; "
          f"values identical to the transcription: {identical}")


def main(quick=False):
    repeats = 3 if quick else 7
    print(f"{os.cpu_count()} CPUs; best of {repeats} interleaved repeats")
    part_a(repeats)
    part_b(max(3, repeats // 2))
    part_c(max(3, repeats // 2))
    part_d(repeats)


if __name__ == "__main__":
    main(quick="--quick" in sys.argv[1:])
