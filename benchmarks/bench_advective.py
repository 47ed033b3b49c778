"""Cost per step of the advective closure against the gas-plus-radiation closure,
side by side in one run.

Both closures run the same model to completion: the disk of a light star (0.05
M_sun, 1 R_sun) fed by its fallback around a 1e6 M_sun black hole, electron
scattering, 1e5 days, which stays below the thin branch's maximum surface
density, so the gas-plus-radiation closure succeeds and the advective one (xi =
1) stays on the thin branch with nearly the same steps.  Reported: ns per
step of run_one_zone_model (Euler, epsilon 1e-4) and of
run_one_zone_model_adaptive (per accepted step, rtol 1e-10, every step a
column), best of N runs, and the ratio advective / gas-plus-radiation (target:
<= 1.3).  xi = 0 is listed as well: there the advective closure is the
gas-plus-radiation thermal solve itself.

Then the reference disruption (1 M_sun star), which only the advective closure
completes: its cost per step on the advective branch and through its jumps.

    python benchmarks/bench_advective.py [--quick]
"""

import sys

from velquor.dynamics.accretion.one_zone.adaptive import run_one_zone_model_adaptive
from velquor.dynamics.accretion.one_zone.integrator import run_one_zone_model
from velquor.tde import TDEDisk

from _timing import best_of

LIGHT = dict(M_star=0.05, R_star=1.0, t_end_days=1e5)


def per_step(disk, integrator, repeats, **options):
    """(ns per step, steps) of one integrator on the model `disk`; the result is
    sized to the run, so that allocation does not blur the comparison."""
    closure = disk.make_closure()

    def run(capacity):
        if integrator == "euler":
            return run_one_zone_model(disk.initial_state, disk.t_start, disk.t_end_s, capacity, closure,
                                      options["epsilon"])
        return run_one_zone_model_adaptive(disk.initial_state, disk.t_start, disk.t_end_s, closure,
                                           rtol=options["rtol"], max_steps=capacity)

    steps = run(2_000_000).shape[1]
    return best_of(repeats, lambda: run(steps + 1)) / steps * 1e9, steps


def main(quick=False):
    repeats = 3 if quick else 7
    models = [
        ("gas+radiation", TDEDisk(closure="gas+radiation", **LIGHT)),
        ("advective, xi = 1", TDEDisk(closure="advective", **LIGHT)),
        ("advective, xi = 0", TDEDisk(closure="advective", xi=0.0, **LIGHT)),
    ]
    print("One model both closures complete (0.05 M_sun star, 1e6 M_sun hole, electron scattering, 1e5 days);")
    print(f"best of {repeats}; the machine may be shared, so compare within one run.\n")
    for integrator, options in (("euler", dict(epsilon=1e-4)), ("adaptive", dict(rtol=1e-10))):
        rows = [(name, *per_step(disk, integrator, repeats, **options)) for name, disk in models]
        base = rows[0][1]
        print(f"{integrator} ({', '.join(f'{k} {v:g}' for k, v in options.items())}):")
        for name, ns, steps in rows:
            print(f"  {name:<20} {ns:8.1f} ns/step  {steps:8d} steps  {ns / base:5.2f}x")
        print()

    reference = TDEDisk(closure="advective")
    print("The reference disruption (1 M_sun star), advective closure only (the other fails within days):")
    for integrator, options in (("euler", dict(epsilon=1e-3)), ("adaptive", dict(rtol=1e-6))):
        ns, steps = per_step(reference, integrator, repeats, **options)
        print(f"  {integrator:<9} {ns:8.1f} ns/step  {steps:8d} steps  {ns * steps / 1e6:7.2f} ms per run")


if __name__ == "__main__":
    main(quick="--quick" in sys.argv)
