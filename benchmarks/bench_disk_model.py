"""Cost per step of a complete one-zone disk run, baselines and ours side by side.

The model: half a Sun-like star on a ring at the circularisation radius around a
1e6 solar-mass black hole, gas pressure only, electron scattering or Kramers plus
electron scattering, draining viscously for 1e13 s.

(a) run_one_zone_model against the floor: the same model as a plain C++ loop
    (velquor._testsupport.march_disk_plain: the integrator's loop and the closure's
    own writer and derivative, with the thermal solve compiled against a host that
    never asks the interpreter anything), in ns per step.  The difference is the
    price of the "is an exception pending?" checks after every callback, root-finder
    evaluation, sound-speed and opacity call.
(b) The same model written the way a user would without this package: a Python loop
    with scipy.optimize.brentq on the same residual, warm-started from the previous
    temperature, in microseconds per step, next to run_one_zone_model on the same run.

Root-finder (residual) evaluations per step are reported for both.

    python benchmarks/bench_disk_model.py [--quick]
"""

import math
import sys

import numpy as np
from scipy.optimize import brentq

from velquor._testsupport import march_disk_plain
from velquor.dynamics.accretion.one_zone import closure as C
from velquor.dynamics.accretion.one_zone.integrator import run_one_zone_model
from velquor.dynamics.accretion.one_zone.models._hollin import FullPressureClosure
from velquor.radiation.opacity import KramersOpacity
from velquor.radiation.opacity._kramers import KRAMERS_KAPPA0

from _timing import best_of

# The reference disruption.
M_SUN = 1.3271244e26 / C.G_CGS
M_BH = 1e6 * M_SUN
R_C = 2 * 6.957e10 * 1e6 ** (1 / 3)
R_IN = 6 * C.G_CGS * M_BH / 2.99792458e10 ** 2
ALPHA, MU = 0.1, 0.6
T_END = 1e13
STATE = np.array([0.5 * M_SUN, 0.5 * M_SUN * C.DISK_XI * math.sqrt(C.G_CGS * M_BH * R_C)])


def closure_for(kramers):
    closure = FullPressureClosure(True)  # gas pressure only
    if kramers:
        closure.opacity = KramersOpacity()
    closure.bind_runtime_parameters({"log_M_BH": math.log(M_BH), "log_R_in": math.log(R_IN), "alpha": ALPHA})
    return closure


# ---------------------------------------------------------------------------
# (b) the model in plain Python with scipy's brentq
# ---------------------------------------------------------------------------

def python_model(kramers, epsilon, max_steps):
    """Columns (t, M, J, T_c) of the same model; returns them and the residual
    evaluations made (bracketing included)."""
    G, kB_mp, sigma_sb = C.G_CGS, C.K_B_CGS / C.M_P_CGS, C.SIGMA_SB_CGS
    log_kes, log_k0 = math.log(C.KAPPA_ES), math.log(KRAMERS_KAPPA0)
    sqrt_2pi = math.sqrt(2 * math.pi)
    j_in = math.sqrt(G * M_BH * R_IN)
    evaluations = 0

    def residual(x, log_q, Sigma, Omega):
        nonlocal evaluations
        evaluations += 1
        cs = math.sqrt(kB_mp * math.exp(x) / MU)
        log_cs = math.log(cs)
        log_rho = math.log(Sigma * Omega / sqrt_2pi) - log_cs
        log_kappa = log_kes
        if kramers:
            b = log_rho + log_k0 - 3.5 * x
            log_kappa = max(log_kes, b) + math.log1p(math.exp(-abs(log_kes - b)))
        return log_kappa + log_q + 2 * log_cs - 4 * x

    t, M, J = 0.0, float(STATE[0]), float(STATE[1])
    x_prev = None
    out = []
    while len(out) < max_steps:
        R = (J / (C.DISK_XI * M)) ** 2 / (G * M_BH)
        Sigma = M / (C.DISK_A * math.pi * R * R)
        Omega = math.sqrt(G * M_BH / R ** 3)
        log_q = math.log(27 / 32 * ALPHA * Omega * Sigma * Sigma / sigma_sb)
        if x_prev is None:
            x_prev = math.log(27 / 32 * ALPHA * C.KAPPA_ES * Omega * Sigma ** 2 * kB_mp / (sigma_sb * MU)) / 3
        h, args = 0.05, (log_q, Sigma, Omega)
        while residual(x_prev - h, *args) * residual(x_prev + h, *args) > 0:
            h *= 2
            if h > 64:
                raise RuntimeError("no bracket")
        x = brentq(residual, x_prev - h, x_prev + h, args=args, xtol=1e-10)
        x_prev = x
        T = math.exp(x)
        nu = ALPHA * kB_mp * T / MU / Omega
        t_visc = R * R / nu
        mdot = C.DISK_F0 * M / t_visc
        dM, dJ = -mdot, -mdot * j_in
        dt = epsilon * min(t_visc, abs(M / dM), abs(J / dJ))
        out.append((t, M, J, T))
        t, M, J = t + dt, M + dM * dt, J + dJ * dt
        if t >= T_END:
            break
    return np.array(out).T, evaluations


def main(quick=False):
    repeats = 3 if quick else 5
    eps_a = 1e-3 if quick else 1e-4
    eps_b = 1e-3
    print(f"One-zone disk, 0.5 M_sun at R_c around 1e6 M_sun, gas pressure, t = 0 .. {T_END:g} s, best of {repeats}")
    print()
    print(f"(a) integrator vs the same model as a plain C++ loop (epsilon = {eps_a:g})")
    print(f"{'opacity':<22}{'steps':>9}{'evals/step':>12}{'floor ns/step':>15}{'ours ns/step':>14}{'ratio':>8}")
    for kramers in (False, True):
        closure = closure_for(kramers)
        n, evaluations = march_disk_plain(closure, STATE, 0.0, T_END, 10_000_000, eps_a, True)
        floor = best_of(repeats, lambda: march_disk_plain(closure, STATE, 0.0, T_END, n, eps_a))
        ours = best_of(repeats, lambda: run_one_zone_model(STATE, 0.0, T_END, n, closure, eps_a))
        name = "Kramers + scattering" if kramers else "electron scattering"
        print(f"{name:<22}{n:>9}{evaluations / n:>12.2f}{1e9 * floor / n:>15.1f}{1e9 * ours / n:>14.1f}"
              f"{ours / floor:>8.2f}")

    print()
    print(f"(b) Python + scipy.optimize.brentq per step vs run_one_zone_model (epsilon = {eps_b:g})")
    print(f"{'opacity':<22}{'steps':>9}{'py evals/step':>15}{'python us/step':>16}{'ours us/step':>14}"
          f"{'speed-up':>10}{'max |dT/T|':>12}")
    for kramers in (False, True):
        closure = closure_for(kramers)
        result = run_one_zone_model(STATE, 0.0, T_END, 10_000_000, closure, eps_b)
        n = result.shape[1]
        columns, evaluations = python_model(kramers, eps_b, n)
        assert columns.shape[1] == n
        agreement = np.max(np.abs(columns[3] / result[8] - 1))
        python = best_of(max(1, repeats // 2), lambda: python_model(kramers, eps_b, n))
        ours = best_of(repeats, lambda: run_one_zone_model(STATE, 0.0, T_END, n, closure, eps_b))
        name = "Kramers + scattering" if kramers else "electron scattering"
        print(f"{name:<22}{n:>9}{evaluations / n:>15.2f}{1e6 * python / n:>16.2f}{1e6 * ours / n:>14.3f}"
              f"{python / ours:>10.0f}{agreement:>12.1e}")


if __name__ == "__main__":
    main(quick="--quick" in sys.argv[1:])
