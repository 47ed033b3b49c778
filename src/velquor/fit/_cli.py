"""``velquor fit``: fit the disk model to a light curve from the command line.

Called by :func:`velquor.cli.main` for ``velquor fit ...``, which reports every
error and warning on one line (exit 2 for bad input, 1 for a model that fails
or a file that cannot be written).
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
import warnings
from typing import Any, Sequence

__all__ = ["build_parser", "run"]

_PROG = "velquor fit"

_DESCRIPTION = """\
Fit the one-zone disk of a tidal disruption to an observed light curve and
read off the black-hole mass, the star and the disk.

PHOTOMETRY is a CSV, ECSV or whitespace table with a header and the columns
time (observed MJD), band (a bandpass name such as ztf_g or uvot_uvw1, or xrt
for 0.3-10 keV X-rays), value, error, unit (mag, uJy, erg/s or erg/s/cm2) and
optionally upper_limit (0/1) and limit_sigma (default 3).

The posterior is sampled with an ensemble sampler until the integrated
autocorrelation time has settled (steps > 50 tau, tau stable to 1 %) or the
step limit is reached; --quick stops at a best fit and a short chain.  Written
to DIR (default velquor_fit):

  posterior.ecsv      the samples: one column per free parameter
  summary.ecsv        median and 16/84 percentiles of every parameter and of
                      derived quantities (peak luminosity, Eddington ratio, ...)
  corner.png          the corner plot
  light_curves.png    the data with the posterior median and 16-84 % band
  chain.npz           the chain (continue it with --resume)"""

_EPILOG = """\
examples:
  velquor fit --demo                         fit a synthetic light curve (written
                                             to DIR/demo_photometry.csv)
  velquor fit lc.csv --z 0.05                a full fit
  velquor fit lc.csv --z 0.05 --quick        best fit + short chain (< 1 min)
  velquor fit lc.ecsv --d-l 200 --z 0.045 --fix beta=1 --fix spin=0.5
  velquor fit lc.csv --z 0.05 --prior M_BH=1e5,1e7 --prior ebv_host=0,0.3
  velquor fit lc.csv --z 0.05 --blackbody    add the early blackbody of the optical peak
  velquor fit lc.csv --z 0.05 --resume       continue the chain in DIR/chain.npz

Parameters (names as in Python, velquor.fit.PARAMETERS): M_BH, M_star [M_sun],
beta, alpha, spin, t_disruption_mjd [MJD], inclination [deg], R_out_factor,
f_col (a number or done12), ebv_host [mag], f_sys; with --blackbody also
bb_L_peak [erg/s], bb_t_peak_days, bb_sigma_days, bb_tau_days, bb_p, bb_T [K].
A --prior for a parameter that is fixed by default (spin, R_out_factor, f_col,
ebv_host) frees it."""

#: --quick: walkers and steps of its short chain.
QUICK_STEPS = 1000


class UsageError(Exception):
    """Bad command-line input (exit 2)."""


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of ``velquor fit``."""
    from velquor.cli import _integer, _number, _Parser

    p = _Parser(prog=_PROG, description=_DESCRIPTION, epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("photometry", nargs="?", metavar="PHOTOMETRY", help="the light curve (CSV, ECSV or whitespace table)")
    p.add_argument("--z", type=_number, metavar="Z", help="redshift (> 0, or give --d-l)")
    p.add_argument("--d-l", type=_number, metavar="MPC", help="luminosity distance in Mpc (default: from z, Planck 2018)")
    p.add_argument("--out", default="velquor_fit", metavar="DIR", help="output directory (default: %(default)s)")
    p.add_argument("--quick", action="store_true",
                   help=f"stop at a best fit and a short chain ({QUICK_STEPS} steps; under a minute)")
    p.add_argument("--demo", action="store_true",
                   help="fit a synthetic light curve of the package's model (6 bands + X-rays, z = 0.02)")
    g = p.add_argument_group("the model")
    g.add_argument("--fix", action="append", default=[], metavar="NAME=VALUE",
                   help="hold a parameter fixed (repeat for several)")
    g.add_argument("--prior", action="append", default=[], metavar="NAME=LO,HI",
                   help="bounds of a parameter's prior (its default kind; repeat for several)")
    g.add_argument("--blackbody", action="store_true", help="add the early blackbody component")
    g.add_argument("--closure", default="gas", help="thermal model of the disk (default: %(default)s)")
    g.add_argument("--opacity", default="es", metavar="{es,kramers,opal}", help="opacity (default: %(default)s)")
    g.add_argument("--ebv-mw", type=_number, default=0.0, metavar="MAG", help="Milky Way E(B-V) (default: 0)")
    g.add_argument("--nh", type=_number, default=0.0, metavar="CM-2",
                   help="absorbing column of the X-ray band in cm^-2 (default: 0)")
    g = p.add_argument_group("the sampler")
    g.add_argument("--walkers", type=_integer, default=None, metavar="N", help="walkers (default: max(16, 2 x free + 2))")
    g.add_argument("--max-steps", type=_integer, default=100000, metavar="N", help="step limit (default: %(default)d)")
    g.add_argument("--workers", type=_integer, default=None, metavar="N", help="threads or processes (default: CPUs)")
    g.add_argument("--pool", default="threads", choices=("threads", "processes", "serial"),
                   help="how walkers run in parallel (default: %(default)s)")
    g.add_argument("--seed", type=_integer, default=None, help="random seed")
    g.add_argument("--resume", action="store_true", help="continue the chain saved in DIR/chain.npz")
    g.add_argument("--no-plots", action="store_true", help="do not draw the figures")
    g.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")
    return p


def _assignments(items: Sequence[str], option: str) -> dict[str, str]:
    out = {}
    for item in items:
        name, sep, value = item.partition("=")
        if not sep or not name.strip() or not value.strip():
            raise UsageError(f"{option} takes NAME=VALUE, got {item!r}")
        if name.strip() in out:
            raise UsageError(f"{option} {name.strip()} given twice")
        out[name.strip()] = value.strip()
    return out


def _fixed(items: Sequence[str]) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for name, value in _assignments(items, "--fix").items():
        if name == "f_col" and value.lower() == "done12":
            out[name] = "done12"
            continue
        try:
            out[name] = float(value)
        except ValueError:
            raise UsageError(f"--fix {name}={value}: not a number") from None
    return out


def _priors(items: Sequence[str]) -> dict[str, tuple[float, float]]:
    out = {}
    for name, value in _assignments(items, "--prior").items():
        parts = value.split(",")
        try:
            lo, hi = (float(x) for x in parts)
        except ValueError:
            raise UsageError(f"--prior {name}={value}: give two numbers LO,HI") from None
        out[name] = (lo, hi)
    return out


def run(argv: Sequence[str]) -> int:
    """Run ``velquor fit`` with arguments ``argv`` (without ``fit``); returns the exit code.

    Exceptions other than bad input and model failure propagate to
    :func:`velquor.cli.main`, which reports them on one line.
    """
    from velquor.cli import _Exit, _one_line, _UsageError

    err = sys.stderr
    try:
        args = build_parser().parse_args(list(argv))
        fixed, priors = _fixed(args.fix), _priors(args.prior)
        if args.demo == (args.photometry is not None):
            raise UsageError("give a PHOTOMETRY file or --demo (one of them)")
        if args.quick and args.resume:
            raise UsageError("--quick starts a new short chain: it does not --resume one")
        if args.walkers is not None and args.walkers < 1:
            raise UsageError(f"--walkers must be positive, got {args.walkers}")
    except _Exit as e:
        return e.status
    except (_UsageError, UsageError) as e:
        print(f"{_PROG}: error: {_one_line(e)} (see '{_PROG} --help')", file=err)
        return 2

    try:
        import emcee  # noqa: F401
        import scipy  # noqa: F401
    except ImportError as e:
        print(f"{_PROG}: error: fitting needs {e.name}: pip install 'velquor[fit]'", file=err)
        return 2

    from velquor.fit import DEMO_Z, PhotometryError, TDEFit, read_photometry, synthetic_light_curve
    from velquor.observe import MPC_CGS

    out = args.out
    truth = None
    try:
        z = args.z
        if args.demo:
            z = DEMO_Z if z is None else z
        if z is None:
            raise ValueError("give the redshift: --z Z (with --d-l MPC for a distance of your own)")
        if (z <= 0 or not math.isfinite(z)) and args.d_l is None:
            raise ValueError(f"--z must be > 0 when no distance is given (--d-l MPC), got {z!r}")
        d_l = None
        if args.d_l is not None:
            if not (math.isfinite(args.d_l) and args.d_l > 0):
                raise ValueError(f"--d-l must be a distance > 0 in Mpc, got {args.d_l!r}")
            d_l = args.d_l * MPC_CGS
        _make_dir(out)
        if args.demo:
            phot, truth = synthetic_light_curve(z=z, d_L=d_l, seed=args.seed if args.seed is not None else 1)
            phot.write(os.path.join(out, "demo_photometry.csv"))
        else:
            phot = read_photometry(args.photometry)
        fit = TDEFit(phot, z=z, d_L=d_l, closure=args.closure, opacity=args.opacity, blackbody=args.blackbody,
                     ebv_mw=args.ebv_mw, N_H=args.nh, priors=priors, fixed=fixed)  # fmt: skip
        chain = os.path.join(out, "chain.npz")
        if args.resume and not os.path.exists(chain):
            raise ValueError(f"--resume: no chain to continue in {chain!r}")
        if not args.no_plots:
            import matplotlib  # noqa: F401
    except PhotometryError as e:
        print(f"{_PROG}: error: {_one_line(e)}", file=err)
        return 2
    except OSError as e:
        print(f"{_PROG}: error: cannot read or write: {_one_line(e)}", file=err)
        return 2
    except (ValueError, TypeError, KeyError, ImportError) as e:
        print(f"{_PROG}: error: {_one_line(e)}", file=err)
        return 2

    progress = not args.quiet
    t0 = time.perf_counter()
    try:
        if args.quick:
            best = fit.maximize(seed=args.seed, pool=args.pool, n_workers=args.workers)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)  # a short chain is not converged: said below
                result = fit.sample(args.walkers, max_steps=min(QUICK_STEPS, args.max_steps), start=best.params,
                                    pool=args.pool, n_workers=args.workers, progress=progress, seed=args.seed,
                                    chain=chain, overwrite=True)  # fmt: skip
        else:
            result = fit.sample(args.walkers, max_steps=args.max_steps, pool=args.pool, n_workers=args.workers,
                                progress=progress, seed=args.seed, chain=chain, resume=args.resume,
                                overwrite=not args.resume)  # fmt: skip
    except (ValueError, TypeError) as e:
        print(f"{_PROG}: error: {_one_line(e)}", file=err)
        return 2
    except RuntimeError as e:
        print(f"{_PROG}: error: the fit failed: {_one_line(e)}", file=err)
        return 1
    except KeyboardInterrupt:
        if not args.quick and os.path.exists(chain):  # the sampler saves its chain when interrupted
            print(f"{_PROG}: the chain so far is in {chain}: add --resume to continue it", file=err)
        raise
    wall = time.perf_counter() - t0

    written = [chain]
    try:
        for name, write in (("posterior.ecsv", result.save),
                            ("summary.ecsv", lambda p: result.summary().write(p, format="ascii.ecsv", overwrite=True))):  # fmt: skip
            path = os.path.join(out, name)
            write(path)
            written.append(path)
        if not args.no_plots:
            from matplotlib.figure import Figure

            fig = Figure(figsize=(max(6.0, 1.9 * len(fit.parameters)),) * 2)
            result.corner(fig, truths=truth)
            path = os.path.join(out, "corner.png")
            fig.savefig(path, dpi=90)
            written.append(path)
            phot_kinds = len(set(fit.photometry.flux_unit))
            fig = Figure(figsize=(9.0, 3.6 * phot_kinds + 0.6), layout="constrained")
            result.plot_light_curves(fig)
            path = os.path.join(out, "light_curves.png")
            fig.savefig(path, dpi=110)
            written.append(path)
    except (OSError, ValueError) as e:
        print(f"{_PROG}: error: cannot write output: {_one_line(e)}", file=err)
        return 1

    if not args.quiet:
        _print_report(fit, result, args, wall, truth)
        for path in written:
            print(f"  wrote {path}")
    return 0


def _make_dir(path: str) -> None:
    if os.path.exists(path) and not os.path.isdir(path):
        raise ValueError(f"--out {path!r} exists and is not a directory")
    os.makedirs(path, exist_ok=True)


def _print_report(fit: Any, result: Any, args: argparse.Namespace, wall: float, truth: dict[str, Any] | None) -> None:
    phot = fit.photometry
    info = result.info
    n_lim = int(phot.upper_limit.sum())
    print(f"  data        {len(phot)} points ({n_lim} upper limits) in {', '.join(phot.bands)}"
          f"{' (synthetic)' if truth else ''}")  # fmt: skip
    print(f"  distance    z = {fit.z:g}, d_L = {fit.d_L / 3.0856775814913673e24:.4g} Mpc")
    print(f"  model       {fit.options['closure']} disk, {fit.options['opacity']} opacity"
          f"{', early blackbody' if fit.blackbody else ''}; free: {', '.join(fit.parameters)}")  # fmt: skip
    tau = max(info.get("tau", [math.nan]))
    state = "converged" if info.get("converged") else ("quick: short chain, not converged" if args.quick
                                                       else "NOT converged: raise --max-steps or --resume")  # fmt: skip
    print(f"  sampler     {info['n_walkers']} walkers x {info['n_steps']} steps, tau = {tau:.3g} steps, {state}; "
          f"acceptance {info['acceptance_fraction']:.2f}; {result.n} samples; {wall:.1f} s")  # fmt: skip
    print("  posterior (median -16% +84%):")
    print(result.summary_text())
    if truth:
        print(f"  input       log10 M_BH = {math.log10(truth['M_BH']):.3f}")
