"""Adaptive integrator against SciPy's solve_ivp and the Euler integrator on the exact
one-zone solution, all in one run.

The problem: a gas-pressure disk with electron-scattering opacity, zero inner
radius (J is conserved), 1e6 solar-mass black hole, half a solar mass at the
circularisation radius of a Sun-like star, alpha = 0.1, mu = 0.6.  Its mass then
follows M = M0 (1 + t / t0)^(-3/16) exactly, with t0 = 3 t_visc(0) / (16 F0).
The run covers 100 t0.

1. Achieved error against rtol for both embedded pairs.
2. Wall time to reach 1e-3 and 1e-6 relative accuracy in M (worst over the
   returned points), each route tuned to the loosest setting that reaches it:
   SciPy solve_ivp (RK45, LSODA, DOP853) with a Python right-hand side that solves
   the thermal balance with brentq, the Euler integrator at the epsilon that
   reaches it, and the adaptive integrator (dopri5, bs32) at the rtol that does.

    python benchmarks/bench_adaptive.py [--quick]
"""

import math
import sys

import numpy as np
from scipy.integrate import solve_ivp
from scipy.optimize import brentq

from _timing import best_of
from velquor.dynamics.accretion.one_zone import closure as K
from velquor.dynamics.accretion.one_zone.adaptive import run_one_zone_model_adaptive
from velquor.dynamics.accretion.one_zone.integrator import run_one_zone_model
from velquor.dynamics.accretion.one_zone.models._hollin import FullPressureClosure

ALPHA, MU = 0.1, 0.6
M_SUN = 1.3271244e26 / K.G_CGS
M_BH = 1e6 * M_SUN
R_C = 1.3914e13
M0 = 0.5 * M_SUN
J0 = K.DISK_XI * M0 * math.sqrt(K.G_CGS * M_BH * R_C)
ROW_T, ROW_M = 1, 2
TARGETS = (1e-3, 1e-6)


# --- the model in plain Python (the SciPy right-hand side) ---------------------------------

LOG_Q0 = math.log(27.0 / 32.0 * ALPHA * K.KAPPA_ES / K.SIGMA_SB_CGS)
CS2_PER_T = K.K_B_CGS / (MU * K.M_P_CGS)
LOG_CS2_PER_T = math.log(CS2_PER_T)
X_MIN, X_MAX = math.log(10.0), math.log(1e14)


def geometry(m, j):
    r = (j / (K.DISK_XI * m)) ** 2 / (K.G_CGS * M_BH)
    return r, m / (K.DISK_A * math.pi * r * r), math.sqrt(K.G_CGS * M_BH / r**3)


def viscous_time(m, j):
    """R^2 / nu with T_c from the thermal balance sigma T^4 = 27/32 alpha kappa Omega Sigma^2 c_s^2 (brentq in ln T)."""
    r, sigma, omega = geometry(m, j)
    log_q = LOG_Q0 + math.log(omega) + 2.0 * math.log(sigma)
    log_t = brentq(lambda x: log_q + LOG_CS2_PER_T + x - 4.0 * x, X_MIN, X_MAX, xtol=1e-12)
    nu = ALPHA * CS2_PER_T * math.exp(log_t) / omega
    return r * r / nu


def rhs(_t, y):
    m, j = y
    mdot = K.DISK_F0 * m / viscous_time(m, j)
    return [-mdot, 0.0]  # zero inner radius: the gas leaves with no angular momentum


T0 = 3.0 * viscous_time(M0, J0) / (16.0 * K.DISK_F0)
T_END = 100.0 * T0


def exact_mass(t):
    return M0 * (1.0 + np.asarray(t) / T0) ** (-3.0 / 16.0)


def worst_error(t, m):
    return float(np.max(np.abs(np.asarray(m) / exact_mass(t) - 1.0)))


# --- the routes ------------------------------------------------------------------------------

def make_closure():
    closure = FullPressureClosure(True)
    closure.bind_runtime_parameters({"log_M_BH": math.log(M_BH), "log_R_in": -math.inf, "alpha": ALPHA})
    return closure


CLOSURE = make_closure()
STATE = np.array([M0, J0])


def adaptive(method, rtol):
    def go():
        return run_one_zone_model_adaptive(STATE, 0.0, T_END, CLOSURE, rtol=rtol, method=method)

    result = go()
    return go, worst_error(result[ROW_T], result[ROW_M]), result.shape[1] - 1


def scipy_route(method, rtol):
    def go():
        return solve_ivp(rhs, (0.0, T_END), [M0, J0], method=method, rtol=rtol, atol=0.0)

    sol = go()
    if not sol.success:
        raise RuntimeError(sol.message)
    return go, worst_error(sol.t, sol.y[0]), f"{len(sol.t) - 1} st, {sol.nfev} rhs"


def euler(epsilon):
    max_steps = int(1.0 / epsilon) + 1000  # ~0.87 / epsilon steps cover the run

    def go():
        return run_one_zone_model(STATE, 0.0, T_END, max_steps, CLOSURE, epsilon)

    result = go()
    assert result[ROW_T, -1] + result[15, -1] >= T_END, "Euler run ended before t_end"
    return go, worst_error(result[ROW_T], result[ROW_M]), result.shape[1]


def loosest(route, target, settings):
    """The first setting (loosest first) whose run reaches `target`: (setting, go, error, work).
    A setting so loose that the run fails (a step to negative mass) does not reach it."""
    for s in settings:
        try:
            go, error, work = route(s)
        except (ValueError, RuntimeError):
            continue
        if error <= target:
            return s, go, error, work
    raise RuntimeError(f"no setting reaches {target:g}")


def euler_epsilon(target):
    """Euler's global error is proportional to epsilon: scale from a probe, then tighten until it holds."""
    _, probe, _ = euler(1e-2)
    epsilon = min(0.5, 1e-2 * 0.9 * target / probe)
    while True:
        go, error, work = euler(epsilon)
        if error <= target:
            return epsilon, go, error, work
        epsilon *= 0.8 * target / error


def main(quick=False):
    repeats = 3 if quick else 7
    print(f"One-zone disk, exact solution M = M0 (1 + t/t0)^(-3/16): t0 = {T0:.4g} s, run to 100 t0 = {T_END:.4g} s")
    print("error = worst relative error in M over the returned points\n")

    print("1. Adaptive integrator: achieved error against rtol")
    print(f"{'rtol':>8} | {'dopri5 steps':>12} {'error':>9} {'err/rtol':>8} | {'bs32 steps':>10} {'error':>9} "
          f"{'err/rtol':>8}")
    for k in range(2, 12):
        rtol = 10.0**-k
        cells = []
        for method in ("dopri5", "bs32"):
            _, error, steps = adaptive(method, rtol)
            cells.append(f"{steps:>{12 if method == 'dopri5' else 10}d} {error:9.2e} {error / rtol:8.3f}")
        print(f"{rtol:8.0e} | {cells[0]} | {cells[1]}")

    grid = [10.0 ** (-k / 4.0) for k in range(4, 57)]  # rtol from 1e-1 to 1e-14, quarter decades
    for target in TARGETS:
        print(f"\n2. Wall time to a worst relative error <= {target:g} in M (best of {repeats})")
        print(f"{'route':<34}{'setting':>14}{'work':>20}{'error':>11}{'time [ms]':>12}{'vs dopri5':>11}")
        rows = []
        for method in ("dopri5", "bs32"):
            rtol, go, error, steps = loosest(lambda r, m=method: adaptive(m, r), target, grid)
            rows.append((f"adaptive {method}", f"rtol={rtol:.2g}", f"{steps} steps", error, best_of(repeats, go)))
        for method in ("RK45", "LSODA", "DOP853"):
            rtol, go, error, work = loosest(lambda r, m=method: scipy_route(m, r), target, grid)
            rows.append((f"scipy solve_ivp {method} + brentq", f"rtol={rtol:.2g}", work, error,
                         best_of(repeats, go)))
        epsilon, go, error, steps = euler_epsilon(target)
        rows.append(("Euler integrator", f"eps={epsilon:.2g}", f"{steps} steps", error, best_of(repeats, go)))
        ours = rows[0][4]
        for name, setting, work, error, seconds in rows:
            print(f"{name:<34}{setting:>14}{work:>20}{error:>11.2e}{1e3 * seconds:>12.3f}{seconds / ours:>10.1f}x")
        best_scipy = min(r[4] for r in rows if r[0].startswith("scipy"))
        print(f"best SciPy route / adaptive dopri5: {best_scipy / ours:.1f}x;  Euler / adaptive dopri5: "
              f"{rows[-1][4] / ours:.1f}x")


if __name__ == "__main__":
    main(quick="--quick" in sys.argv[1:])
