"""Fitting a light curve: the cost of one likelihood, of a converged chain and of ``--quick``.

On the synthetic light curve of ``velquor.fit.synthetic_light_curve`` (120
points: ZTF g, r and Swift/UVOT UVW2, UVM2, UVW1, U plus 0.3-10 keV X-rays,
z = 0.02; the demo disruption: 1e6 M_sun, Sun-like star, beta 1.5), side by side
in one run:

1. ms per ``TDEFit.log_likelihood`` near the input parameters, with its parts:
   building the ``TDEDisk``, integrating it to the data's epochs (dense output),
   the photometry of the 120 points (one ``Photometer`` call, and its native
   kernel alone), the likelihood arithmetic;
   baseline: the same likelihood through the public per-band API a user would
   write without ``velquor.fit`` (``TDEDisk.run()`` over its 2000 output
   times, then ``DiskRun.band_light_curve`` per band and ``DiskRun.xray_flux``
   at the data's times);
2. walkers in parallel: ms per evaluation of a batch of 32 walkers, serial
   and on 2 threads and 2 processes;
3. a converged ``sample`` (the stopping rule: steps > 50 tau, tau stable to
   1 %) on 2 threads, unless ``--no-sample``; with ``--serial`` also on 1
   thread;
4. ``velquor fit --quick`` on the same light curve (best fit + 1000 steps).

The machine may be shared with other work: compare only numbers of one run.

    python benchmarks/bench_fit.py [--no-sample] [--serial]
"""

import math
import os
import sys
import tempfile
import time
import warnings

import numpy as np

from _timing import best_of
from velquor.fit import TDEFit, synthetic_light_curve
from velquor.fit._sampling import make_pool
from velquor.tde import DAY

REPEATS = 7
N_CALLS = 200


def per_call_ms(fn, n=N_CALLS):
    return best_of(REPEATS, lambda: [fn() for _ in range(n)]) / n * 1e3


def baseline_likelihood(fit, p):
    """The likelihood written with the public API, one band at a time."""
    phot = fit.photometry
    disk = fit.model.disk(p)
    run = disk.run()
    t_rest = (phot.time - p["t_disruption_mjd"]) * DAY / (1.0 + fit.z)
    model = np.zeros(len(phot))
    inside = (t_rest >= run.t[0]) & (t_rest <= run.t[-1])
    for band in phot.bands:
        rows = np.flatnonzero((phot.band == band) & inside)
        if band == "xrt":
            model[rows] = run.xray_flux(t_rest[rows], z=fit.z, d_L=fit.d_L, inclination=p["inclination"])
        else:
            model[rows] = run.band_light_curve(band, t_rest[rows], z=fit.z, d_L=fit.d_L, unit="uJy",
                                               inclination=p["inclination"])  # fmt: skip
    return fit._ln_like(model, p["f_sys"])


def baseline_full_run(fit, p):
    """The whole run (2000 output times), its states interpolated to the data, one prebuilt Photometer."""
    pts = fit._points
    disk = fit.model.disk(p)
    run = disk.run()
    t_rest = fit.model.rest_times(p, pts.times)
    has = t_rest >= run.t[0]
    mdot, r_out = run.disk_state(t_rest[has], p["R_out_factor"])
    first = int(np.argmax(has))
    at = pts.which - first
    on = at >= 0
    model = np.zeros(pts.which.size)
    model[on] = fit.model.photometer(mdot[at[on]], r_out[at[on]], pts.channel[on], M_BH=disk.M_BH_g, R_in=disk.R_in,
                                     inclination=p["inclination"], f_col=p["f_col"])  # fmt: skip
    return fit._ln_like(model * pts.scale, p["f_sys"])


def threads_control():
    """Speed-up of 2 threads over 1 on work that never holds the interpreter lock (hashing 1 MB blocks):
    about 2 on an idle 2-core machine, about 1 when another job takes a core."""
    import concurrent.futures
    import hashlib

    block = b"x" * (1 << 20)

    def work(n):
        for _ in range(n):
            hashlib.sha256(block).digest()

    one = best_of(3, lambda: work(200))
    with concurrent.futures.ThreadPoolExecutor(2) as ex:
        two = best_of(3, lambda: list(ex.map(work, [100, 100])))
    return one / two


def main():
    phot, truth = synthetic_light_curve(seed=1)
    fit = TDEFit(phot, z=0.02)
    p = fit.complete({k: truth[k] for k in fit.parameters})
    n_lim = int(phot.upper_limit.sum())
    print(f"light curve: {len(phot)} points ({n_lim} upper limits) in {', '.join(phot.bands)}; "
          f"free: {', '.join(fit.parameters)}")  # fmt: skip
    print(f"machine: {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f} (shared)\n")

    # 1. one likelihood and its parts
    model, pts = fit.model, fit._points
    disk = model.disk(p)
    t_rest = model.rest_times(p, pts.times)
    t_eval = t_rest[t_rest >= disk.t_fb]
    run = disk.run(t_eval=t_eval)
    mdot, r_out = run.disk_state(None, 1.0)
    first = int(np.argmax(t_rest >= disk.t_fb))
    at = pts.which - first
    on = at >= 0
    m_full = model.evaluate(p, pts)
    kw = {"M_BH": disk.M_BH_g, "R_in": disk.R_in, "inclination": p["inclination"], "f_col": 1.0}
    phot_call = model.photometer
    from velquor.observe import _spectrum

    native_args = None
    # The native kernel alone, with the arrays the Photometer passes to it.
    captured = {}
    real = _spectrum.photometry

    def capture(*args):
        captured["args"] = args
        return real(*args)

    _spectrum.photometry = capture
    try:
        phot_call(mdot[at[on]], r_out[at[on]], pts.channel[on], **kw)
    finally:
        _spectrum.photometry = real
    native_args = captured["args"]

    rows = [
        ("log_likelihood (velquor.fit)", per_call_ms(lambda: fit.log_likelihood(p))),
        ("  TDEDisk(...) construction", per_call_ms(lambda: model.disk(p))),
        (f"  disk.run(t_eval=...) ({t_eval.size} epochs)", per_call_ms(lambda: disk.run(t_eval=t_eval))),
        ("  Photometer call, 120 points", per_call_ms(lambda: phot_call(mdot[at[on]], r_out[at[on]],
                                                                        pts.channel[on], **kw))),  # fmt: skip
        ("    its native kernel alone", per_call_ms(lambda: real(*native_args))),
        ("  likelihood arithmetic", per_call_ms(lambda: fit._ln_like(m_full, 0.0))),
        ("baseline: whole run + one Photometer", per_call_ms(lambda: baseline_full_run(fit, p), n=20)),
        ("baseline: public per-band API", per_call_ms(lambda: baseline_likelihood(fit, p), n=10)),
    ]
    width = max(len(r[0]) for r in rows)
    print("1. one likelihood [ms per call, best of 7]")
    for name, ms in rows:
        print(f"   {name:<{width}}  {ms:8.3f}")
    print(f"   ln L: fit {fit.log_likelihood(p):.6f}, baselines {baseline_full_run(fit, p):.6f}, "
          f"{baseline_likelihood(fit, p):.6f} (they interpolate the run in log t)")
    print(f"   speed-up: {rows[-2][1] / rows[0][1]:.1f}x over the whole run, {rows[-1][1] / rows[0][1]:.0f}x over "
          "the per-band API")
    gil_free = (rows[2][1] + rows[4][1]) / rows[0][1]
    print(f"   time outside the interpreter lock (integration + photometry kernel): {100 * gil_free:.0f} %\n")

    # 2. walkers in parallel
    rng = np.random.default_rng(0)
    u0 = fit.to_coordinates(p)
    batch = [u0 + 1e-3 * rng.standard_normal(u0.size) for _ in range(32)]
    print(f"2. a batch of 32 walkers [ms per evaluation, best of 5 x 20 batches]; control: 2 threads hashing "
          f"(no lock held) run {threads_control():.2f}x faster than 1 right now")
    serial_ms = None
    for pool in (None, "threads", "processes"):
        mapper, close = make_pool(pool, 2)
        try:
            fmap = mapper.map if mapper is not None else map
            list(fmap(fit._log_prob_u, batch))  # warm up (a process builds its fit once)
            c0, t0 = time.process_time(), time.perf_counter()
            ms = best_of(5, lambda: [list(fmap(fit._log_prob_u, batch)) for _ in range(20)]) / (20 * 32) * 1e3
            busy = (time.process_time() - c0) / (time.perf_counter() - t0)
        finally:
            close()
        serial_ms = serial_ms or ms
        cpu = f", this process's CPU / wall {busy:.2f}" if pool != "processes" else ""
        print(f"   {pool or 'serial':<10} {ms:7.3f}   ({serial_ms / ms:.2f}x serial{cpu})")
    print()

    # 3. a converged chain
    if "--no-sample" not in sys.argv:
        print("3. a converged sample() (emcee, default walkers, stop at 50 tau with tau stable to 1 %)")
        for pool, n in [("threads", 2)] + ([(None, 1)] if "--serial" in sys.argv else []):
            t0 = time.perf_counter()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                result = fit.sample(pool=pool, n_workers=n, progress=False, seed=1)
            wall = time.perf_counter() - t0
            info = result.info
            lo, med, hi = result.quantiles("log10_M_BH")
            print(f"   {pool or 'serial'} ({n} worker{'s' if n > 1 else ''}): {wall:.1f} s wall, "
                  f"{info['n_walkers']} walkers x {info['n_steps']} steps, max tau {max(info['tau']):.1f}, converged {info['converged']}, "
                  f"{info['n_steps'] * info['n_walkers'] / wall:.0f} evaluations/s; "
                  f"log10 M_BH = {med:.3f} -{med - lo:.3f} +{hi - med:.3f} (input {math.log10(truth['M_BH']):.3f})")
        print()

    # 4. the command's --quick
    from velquor.cli import main as velquor

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "lc.csv")
        phot.write(path)
        t0 = time.perf_counter()
        code = velquor(["fit", path, "--z", "0.02", "--quick", "--out", os.path.join(tmp, "out"), "-q", "--seed", "1"])
        wall = time.perf_counter() - t0
    print(f"4. velquor fit --quick (best fit + 1000 steps, figures, files): {wall:.1f} s wall (exit {code})")


if __name__ == "__main__":
    main()
