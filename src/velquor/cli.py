"""Command line: ``velquor`` runs the one-zone disk of a tidal disruption event.

``velquor fit ...`` fits the model to a light curve (:mod:`velquor.fit._cli`).

``main(argv=None)`` parses the arguments, runs the model, prints a summary,
writes a plot and a table, and returns the exit code (0 success, 1 a model that
failed or an unexpected error, 2 bad input, 130 interrupted).  Errors and
warnings are reported on one line of standard error each, never as a traceback.
"""

from __future__ import annotations

import argparse
import math
import os
import re
import sys
import warnings
from typing import Any, NoReturn, Sequence, TextIO

__all__ = ["main", "build_parser"]

_PROG = "velquor"

_DESCRIPTION = """\
Evolve the accretion disk that forms after a star is torn apart by a black
hole, as a single zone (one radius, one surface density) fed by the fallback of
the stellar debris.

With no options this runs the reference disruption: a Sun-like star (1 M_sun,
1 R_sun) on a parabolic orbit with pericentre at the tidal radius of a 1e6 M_sun
black hole without spin, viscosity alpha = 0.1, gas-pressure-only disk with
electron-scattering opacity, fallback rate ~ t^(-5/3), followed to 1000 years
after the disruption.  It prints a summary (peak accretion rate and its time,
disk mass at the end, late-time slope of the accretion rate against the
self-similar law, the time ranges where the model leaves its domain) and
writes, in the current directory:

  velquor_tde.png   accretion/fallback rates, disk mass and radius, temperatures
  velquor_tde.csv   one line per step, every quantity in CGS units"""

_EPILOG = """\
examples:
  velquor                                   reference run, writes PNG and CSV
  velquor --mbh 1e7 --beta 2                heavier black hole, deeper encounter
  velquor --no-fallback --t-end 1e5         a ring of half the star, no feeding
  velquor --closure advective               radiation pressure with advective cooling:
                                            the disk rides the advective (slim) branch
  velquor --opacity kramers --alpha 0.05    Kramers opacity, lower viscosity
  velquor --opacity opal                    the OPAL table shipped with velquor
  velquor --opal-table FILE --opal-table-number 73   an OPAL-format file of your own
  velquor --mstar 0.3 --spin 0.9            a lighter star (radius from the main
                                            sequence), a fast-spinning hole
  velquor --beta 0.7 --m-bound 0.1          a partial disruption
  velquor --plot out/run.png --csv out/run.csv --npz out/run.npz
  velquor --bands ztf_g,uvot_uvw1,xrt --z 0.05   light curves, magnitudes in the CSV
  velquor --closure gas+radiation --keep-partial  a failing model: keep what it computed
  velquor fit PHOTOMETRY --z Z [--quick]    fit a light curve (velquor fit --help)

Times are in days after the disruption, masses in solar masses, radii in solar
radii.  The table and the .npz file hold CGS values; the CSV header names the
unit of every column.  Negative numbers may follow an option directly
(--spin -0.5)."""


class _UsageError(Exception):
    pass


class _Exit(Exception):
    def __init__(self, status: int) -> None:
        super().__init__(status)
        self.status = status


# Every spelling float() reads of a negative number (argparse's own pattern has
# no exponent, so "--mbh -1e6" would take "-1e6" for an option).
_NEGATIVE_NUMBER = re.compile(r"^-(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$|^-(inf|infinity|nan)$", re.IGNORECASE)


class _Parser(argparse.ArgumentParser):
    """Reports errors by raising, so ``main`` prints one line and returns a code."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        # A value that looks like a negative number is a value: the model then
        # says what is wrong with it (no option of ours looks like a number).
        self._negative_number_matcher = _NEGATIVE_NUMBER

    def error(self, message: str) -> NoReturn:
        raise _UsageError(message)

    def exit(self, status: int = 0, message: str | None = None) -> NoReturn:
        if message:
            self._print_message(message, sys.stderr)
        raise _Exit(status)


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


def _integer(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None


def _band_list(text: str) -> list[str]:
    names = [b.strip() for b in text.split(",") if b.strip()]
    if not names:
        raise argparse.ArgumentTypeError(f"no band names in {text!r}")
    return names


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``velquor`` command."""
    from velquor import __version__
    from velquor.tde import DEFAULT_INTEGRATOR

    p = _Parser(
        prog=_PROG,
        description=_DESCRIPTION,
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")

    g = p.add_argument_group("the disruption")
    g.add_argument("--mbh", type=_number, default=1e6, metavar="MSUN",
                   help="black-hole mass in solar masses (default: %(default)g)")
    g.add_argument("--mstar", type=_number, default=1.0, metavar="MSUN",
                   help="mass of the star in solar masses (default: %(default)g)")
    g.add_argument("--rstar", type=_number, default=None, metavar="RSUN",
                   help="radius of the star in solar radii (default: the main-sequence radius of --mstar, "
                        "MSUN^0.8 up to 1 M_sun, MSUN^0.57 above)")
    g.add_argument("--beta", type=_number, default=1.0,
                   help="penetration factor: tidal radius / pericentre; the disk forms at twice the "
                        "pericentre (default: %(default)g)")
    g.add_argument("--spin", type=_number, default=0.0, metavar="A",
                   help="black-hole spin in (-1, 1), negative for a retrograde disk; the disk ends at the "
                        "innermost stable orbit, and a pericentre inside the marginally bound orbit is a "
                        "direct capture (default: %(default)g)")
    g.add_argument("--m-bound", type=_number, default=None, metavar="MSUN",
                   help="mass of the bound debris in solar masses (default: half the star; a partial "
                        "disruption, beta < 1, binds less)")

    g = p.add_argument_group("the disk")
    g.add_argument("--alpha", type=_number, default=0.1, help="viscosity parameter in (0, 1] (default: %(default)g)")
    g.add_argument("--mu", type=_number, default=0.6, help="mean molecular weight (default: %(default)g)")
    g.add_argument("--closure", default="gas", metavar="{gas,gas+radiation,advective}",
                   help="thermal model: gas pressure only, gas plus radiation pressure (no thin-disk "
                        "solution for heavy disks), or gas plus radiation pressure with advective cooling (heavy "
                        "disks move to the advective branch) (default: %(default)s)")
    g.add_argument("--xi", type=_number, default=None,
                   help="closure advective: advection parameter, >= 0 (default: 1)")
    g.add_argument("--opacity", default="es", metavar="{es,kramers,opal}",
                   help="electron scattering, Kramers plus electron scattering, or the OPAL table shipped "
                        "with velquor (X = 0.70, Z = 0.02) (default: %(default)s)")
    g.add_argument("--opal-table", metavar="PATH",
                   help="use an OPAL-format Rosseland-mean opacity table file of your own instead")
    g.add_argument("--opal-table-number", type=_integer, metavar="N",
                   help="which table of a multi-table OPAL file (default: the only one)")
    g.add_argument("--no-fallback", dest="fallback", action="store_false",
                   help="no debris supply: start from a ring holding half the star")
    g.add_argument("--beta-fb", type=_number, default=5.0 / 3.0, metavar="INDEX",
                   help="fallback rate ~ t^-INDEX (default: 5/3)")
    g.add_argument("--seed-mass", type=_number, default=1e-3, metavar="MSUN",
                   help="initial disk mass of a fallback-fed run (default: %(default)g)")
    g.add_argument("--eta", type=_number, default=None,
                   help="explicit radiative efficiency: luminosity = eta * accretion rate * c^2 (default: the "
                        "integral of the disk spectrum)")

    g = p.add_argument_group("the run")
    g.add_argument("--t-end", type=_number, default=365250.0, metavar="DAYS",
                   help="end of the run in days after the disruption (default: %(default)g = 1000 yr)")
    g.add_argument("--integrator", default=DEFAULT_INTEGRATOR, metavar="{euler,adaptive}",
                   help="explicit Euler steps, or error-controlled adaptive steps (default: %(default)s)")
    g.add_argument("--epsilon", type=_number, default=1e-3,
                   help="euler: each step changes mass and angular momentum by at most this fraction "
                        "(default: %(default)g)")
    g.add_argument("--rtol", type=_number, default=1e-6, help="adaptive: relative tolerance (default: %(default)g)")
    g.add_argument("--n-out", type=_integer, default=2000, metavar="N",
                   help="adaptive: N output times evenly spaced in log t; 0 = every accepted step "
                        "(default: %(default)d)")
    g.add_argument("--max-steps", type=_integer, default=200_000, metavar="N",
                   help="stop after N steps (default: %(default)d)")
    g.add_argument("--keep-partial", action="store_true",
                   help="when the model fails, still write the summary, table and figures of what was computed "
                        "before the failure (the exit code stays 1)")

    g = p.add_argument_group("what a telescope sees")
    g.add_argument("--bands", type=_band_list, default=[], metavar="LIST",
                   help="comma-separated bandpasses (e.g. ztf_g,uvot_uvw1; 'xrt' for 0.3-10 keV): light curves in "
                        "the summary, the CSV and a figure")
    g.add_argument("--z", type=_number, default=0.0, help="redshift (default: %(default)g: rest-frame luminosities)")
    g.add_argument("--d-l", type=_number, default=None, metavar="MPC",
                   help="luminosity distance in Mpc (default: from --z, Planck 2018)")
    g.add_argument("--f-col", default="1", metavar="F",
                   help="colour correction: a number >= 1 or 'done12' (default: %(default)s)")
    g.add_argument("--inclination", type=_number, default=None, metavar="DEG",
                   help="viewing angle in degrees (isotropic-equivalent 2 cos i L_nu; default: angle-averaged)")
    g.add_argument("--ebv-mw", type=_number, default=0.0, metavar="EBV", help="Milky Way E(B-V) (default: 0)")
    g.add_argument("--ebv-host", type=_number, default=0.0, metavar="EBV", help="host E(B-V) (default: 0)")
    g.add_argument("--nh", type=_number, default=0.0, metavar="CM2", help="X-ray absorbing column N_H (default: 0)")
    g.add_argument("--lc-plot", default="velquor_lc.png", metavar="PATH",
                   help="light-curve figure, with --bands (default: %(default)s)")
    g.add_argument("--spectrum-plot", default="velquor_spectrum.png", metavar="PATH",
                   help="spectra at a few epochs, with --bands (default: %(default)s)")

    g = p.add_argument_group("output")
    g.add_argument("--plot", default="velquor_tde.png", metavar="PATH",
                   help="figure file; the format follows the extension (default: %(default)s)")
    g.add_argument("--csv", default="velquor_tde.csv", metavar="PATH", help="result table (default: %(default)s)")
    g.add_argument("--npz", metavar="PATH", help="also write the result as a NumPy .npz file")
    g.add_argument("--no-plot", action="store_true", help="do not write the figure")
    g.add_argument("--no-csv", action="store_true", help="do not write the table")
    g.add_argument("-q", "--quiet", action="store_true", help="print nothing on success")
    return p


def _model_kwargs(args: argparse.Namespace) -> dict[str, Any]:
    kw: dict[str, Any] = dict(
        M_BH=args.mbh, M_star=args.mstar, R_star=args.rstar, beta=args.beta, spin=args.spin, M_bound=args.m_bound,
        alpha=args.alpha, mu=args.mu, closure=args.closure, xi=args.xi, opacity=args.opacity,
        fallback=args.fallback, epsilon=args.epsilon, t_end_days=args.t_end, max_steps=args.max_steps,
        beta_fb=args.beta_fb, seed_mass=args.seed_mass, eta=args.eta, integrator=args.integrator,
        rtol=args.rtol, n_out=args.n_out,
    )  # fmt: skip
    if args.opal_table is not None:
        if args.opacity not in ("es", "opal"):
            raise _UsageError("give either --opacity or --opal-table, not both")
        kw["opal_table"] = args.opal_table
        kw["opal_table_number"] = args.opal_table_number
    elif args.opal_table_number is not None:
        raise _UsageError("--opal-table-number needs --opal-table")
    return kw


def _print_summary(run: Any, model: Any, args: argparse.Namespace, out: TextIO) -> None:
    from velquor.tde import DAY, M_SUN, YEAR

    s = run.summary()
    rows = [
        ("black hole", f"{model.M_BH:g} M_sun, spin {model.spin:g}; inner edge R_in = {model.R_in:.4g} cm"),
        ("star", f"{model.M_star:g} M_sun, {model.R_star:.4g} R_sun"
                 + (" (main sequence)" if args.rstar is None else "")
                 + f", beta = {model.beta:g}; bound debris {model.M_bound:g} M_sun"),
        ("circularisation radius R_c", f"{model.R_c:.4g} cm"),
        ("fallback time t_fb", f"{model.t_fb / DAY:.4g} days"),
        ("peak fallback rate", f"{model.M_fb_0 * YEAR / M_SUN:.4g} M_sun/yr" if model.fallback else "no fallback"),
        ("steps", f"{s['n_steps']}  (t = {model.t_start / DAY:.4g} .. {s['t_last_days']:.4g} days"
                  + (")" if run.completed else
                     ", stopped before t_end)" if run.failure is None else
                     f", the model failed at t = {run.failure.t_failed / DAY:.4g} days: "
                     f"{run.failure.status_name})")),
        ("peak accretion rate", f"{s['peak_Mdot_acc_msun_yr']:.4g} M_sun/yr  (L = {s['peak_L']:.3g} erg/s, "
                                f"{s['peak_L_Edd']:.3g} L_Edd)"),
        ("time of peak", f"{s['t_peak_days']:.4g} days  ({s['t_peak_days'] * DAY / YEAR:.3g} yr)"),
        ("peak Eddington ratio", f"L / L_Edd = {s['max_L_Edd']:.3g} at {s['t_max_L_days']:.4g} days"),
    ]  # fmt: skip
    if run.reports_branch:
        rows.append(("thermal branch", _branch_text(run, s)))
    rows += [
        ("disk mass at the end", f"{s['M_end_msun']:.4g} M_sun"),
        ("late-time slope", _slope_text(run, model, s["late_time_slope"])),
        ("domain of the model", _validity_text(run)),
    ]  # fmt: skip
    width = max(len(k) for k, _ in rows)
    for k, v in rows:
        first, *more = v.split("\n")
        print(f"  {k:<{width}}  {first}", file=out)
        for line in more:
            print(f"  {'':<{width}}  {line}", file=out)


#: Late-time law d ln Mdot / d ln t of a thin gas-pressure disk draining without
#: supply, by opacity: (value, as written, opacity).  No law is claimed for
#: tables or other opacities.
_LATE_TIME_LAWS = {"es": (-19.0 / 16.0, "-19/16", "electron-scattering"), "kramers": (-1.25, "-5/4", "Kramers")}
#: The slope is steady when its fits over the two halves of the last decade
#: differ by no more than this.
_SLOPE_DRIFT = 0.02
#: The fallback no longer shapes the decline once it supplies less than this
#: fraction of the accretion rate at the start of the last decade.
_FALLBACK_SHARE = 0.1


def _slope_text(run: Any, model: Any, slope: float) -> str:
    """The late-time slope over the last decade, against the law of the model's opacity."""
    from velquor.tde import THIN_CLOSURES, _log_slope

    if math.isnan(slope):
        return "n/a (fewer than three columns in the last decade)"
    text = f"d ln Mdot / d ln t = {slope:.4f} over the last decade"
    law = _LATE_TIME_LAWS.get(model.opacity_name) if model.closure in THIN_CLOSURES else None
    if law is None:
        return f"{text} (no self-similar law is claimed for closure {model.closure!r} with opacity " \
               f"{model.opacity_name!r})"  # fmt: skip
    value, fraction, name = law
    text += f"; {name} law {fraction} = {value:.4f}"
    t, mdot = run.t, run.Mdot_acc
    t_end, t_mid, t_start = t[-1], t[-1] / math.sqrt(10.0), t[-1] / 10.0
    first, second = _log_slope(t, mdot, t_start, t_mid), _log_slope(t, mdot, t_mid, t_end)
    window = t >= t_start
    share = float(run.Mdot_fb[window][0] / mdot[window][0])
    reasons = []
    if share > _FALLBACK_SHARE:
        reasons.append(f"the fallback still feeds the disk at {share:.2g} times its accretion rate at the start "
                       "of the decade")  # fmt: skip
    if math.isnan(first) or math.isnan(second):
        reasons.append("too few columns to tell whether the slope is steady")
    elif abs(second - first) > _SLOPE_DRIFT:
        reasons.append(f"the slope still drifts ({first:.3f}, then {second:.3f} over the two halves of the decade)")
    if reasons:
        return f"{text}\nnot reached: " + "; ".join(reasons)
    gap = slope - value
    side = "steeper" if gap < 0 else "shallower"
    return f"{text}\nsteady, {abs(gap):.3f} {side} than the law"


def _branch_text(run: Any, s: dict[str, float]) -> str:
    """When the disk was on the advective branch, when it left it and its limit cycles, one line each."""
    from velquor.tde import DAY, M_SUN, YEAR

    episodes = run.branch_episodes()
    advective = [e for e in episodes if e.branch == 1]
    if not advective:
        return "thin throughout"
    lines = []
    first = advective[0]
    lines.append(f"advective for t = {first.t_start / DAY:.4g} .. {first.t_end / DAY:.4g} days (peak "
                 f"{first.peak_Mdot_acc * YEAR / M_SUN:.3g} M_sun/yr, {first.peak_L / run.L_Edd:.3g} L_Edd)")
    if math.isnan(s["t_left_advective_days"]):
        return lines[0] + "\nstill advective at the end"
    lines.append(f"back on the thin branch at {s['t_left_advective_days']:.4g} days")
    n = int(s["n_limit_cycles"])
    if n == 0:
        lines.append("no limit cycle")
        return "\n".join(lines)
    period = s["limit_cycle_period_days"]
    lines.append(f"{n} limit cycle{'s' if n > 1 else ''} (mean spacing of the advective onsets {period:.4g} days):")
    for e in advective[1:][:5]:
        lines.append(f"  advective for t = {e.t_start / DAY:.4g} .. {e.t_end / DAY:.4g} days (peak "
                     f"{e.peak_Mdot_acc * YEAR / M_SUN:.3g} M_sun/yr, {e.peak_L / run.L_Edd:.3g} L_Edd)")
    if n > 5:
        lines.append(f"  ... and {n - 5} more")
    if episodes[-1].branch == 1:
        lines.append("still advective at the end")
    else:
        lines.append(f"back on the thin branch for good at {s['t_last_left_advective_days']:.4g} days")
    return "\n".join(lines)


_EXTREMES = {
    "L / L_Edd > 1": ("largest L / L_Edd", "{:.3g}"),
    "tau < 1": ("lowest tau", "{:.3g}"),
    "T_eff < 1e4 K": ("lowest T_eff", "{:.4g} K"),
    "H / R > 0.3": ("largest H / R", "{:.3g}"),
}


def _validity_text(run: Any) -> str:
    """The time ranges in which the run leaves the domain of the model, one per line."""
    from velquor.tde import DAY

    ranges = run.validity()
    if not ranges:
        return "inside it throughout"
    lines = [f"left in {len(ranges)} time range{'s' if len(ranges) > 1 else ''}:"]
    for r in ranges:
        what, fmt = _EXTREMES[r.condition]
        when = f"at t = {r.t_start / DAY:.4g}" if r.t_start == r.t_end else \
               f"for t = {r.t_start / DAY:.4g} .. {r.t_end / DAY:.4g}"  # fmt: skip
        lines.append(f"{r.condition} {when} days ({what} {fmt.format(r.extreme)})")
    return "\n".join(lines)


def _one_line(exc: BaseException) -> str:
    text = " ".join(str(exc).split())
    return text or type(exc).__name__


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``velquor`` command.

    Parameters
    ----------
    argv : sequence of str, optional
        Arguments without the program name; default ``sys.argv[1:]``.

    Returns
    -------
    int
        0 on success, 1 when the model failed (or on an unexpected error,
        reported as a bug), 2 for bad input, 130 when interrupted.  Nothing
        is ever reported as a traceback: every error and every warning is one
        line on standard error.
    """
    try:
        with warnings.catch_warnings():
            # Every warning once, as one line, when it happens; deprecations
            # are for programmers, not for the command's user.
            warnings.simplefilter("always")
            for category in (DeprecationWarning, PendingDeprecationWarning, ImportWarning, ResourceWarning):
                warnings.simplefilter("ignore", category)
            warnings.showwarning = _one_line_warnings()
            return _run(argv)
    except KeyboardInterrupt:
        print(f"{_PROG}: interrupted", file=sys.stderr)
        return 130
    except MemoryError:
        print(f"{_PROG}: error: out of memory", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader of standard output went away (``velquor | head``).
        _silence_stdout()
        return 1
    except Exception as e:  # noqa: BLE001 - a bug must still be one line
        print(f"{_PROG}: error: unexpected {type(e).__name__}: {_one_line(e)} (a bug in velquor: please report it "
              "with the command line)", file=sys.stderr)  # fmt: skip
        return 1


def _one_line_warnings() -> Any:
    """A ``warnings.showwarning`` that prints each distinct warning once, on one line."""
    seen: set[str] = set()

    def show(message: Warning | str, category: type[Warning], filename: str, lineno: int, file: Any = None,
             line: str | None = None) -> None:  # fmt: skip
        text = _one_line(message if isinstance(message, Warning) else Warning(message))
        if text not in seen:
            seen.add(text)
            print(f"{_PROG}: warning: {text}", file=sys.stderr)

    return show


def _silence_stdout() -> None:
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def _run(argv: Sequence[str] | None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["fit"]:
        from velquor.fit._cli import run as run_fit

        return run_fit(argv[1:])
    try:
        parser = build_parser()
        args = parser.parse_args(argv)
        kwargs = _model_kwargs(args)
    except _Exit as e:
        return e.status
    except _UsageError as e:
        print(f"{_PROG}: error: {_one_line(e)} (see '{_PROG} --help')", file=sys.stderr)
        return 2

    from velquor.tde import TDEDisk

    outputs = [p for p in (None if args.no_csv else args.csv, args.npz, None if args.no_plot else args.plot) if p]
    if args.bands and not args.no_plot:
        outputs += [args.lc_plot, args.spectrum_plot]
    try:
        telescope = _telescope(args)
        model = TDEDisk(**kwargs)
        for path in outputs:
            _ensure_parent(path)
        if not args.no_plot:
            for path in [args.plot] + ([args.lc_plot, args.spectrum_plot] if args.bands else []):
                _check_plot_format(path)
    except (ValueError, TypeError, KeyError, ImportError, ArithmeticError) as e:
        print(f"{_PROG}: error: {_one_line(e)}", file=sys.stderr)
        return 2

    try:
        run = model.run(on_failure="truncate" if args.keep_partial else "raise")
    except (RuntimeError, ValueError, ArithmeticError) as e:
        print(f"{_PROG}: error: the model failed: {_one_line(e)}", file=sys.stderr)
        return 1
    if run.failure is not None:
        f = run.failure
        print(f"{_PROG}: error: the model failed at t = {f.t_failed / 86400.0:.6g} days ({f.status_name}); "
              f"keeping the {run.n} columns computed before it: {_one_line(RuntimeError(f.message))}",
              file=sys.stderr)  # fmt: skip

    curves: dict[str, Any] = {}
    try:
        if telescope is not None:
            from velquor.observe._figures import light_curves

            curves = light_curves(run, args.bands, **telescope)
    except (ValueError, KeyError, ImportError) as e:
        print(f"{_PROG}: error: cannot compute the light curves: {_one_line(e)}", file=sys.stderr)
        return 1

    written = []
    try:
        if not args.no_csv:
            run.save_csv(args.csv, extra=_curve_columns(run, curves, telescope))
            written.append(args.csv)
        if args.npz:
            run.save_npz(args.npz)
            written.append(args.npz)
        if not args.no_plot:
            _save_plot(run, args.plot)
            written.append(args.plot)
            if curves:
                _save_telescope_plots(run, curves, telescope or {}, args)
                written += [args.lc_plot, args.spectrum_plot]
    except (OSError, ValueError, RuntimeError) as e:
        # RuntimeError: a figure format whose backend needs an external tool
        # (pgf without a TeX installation).
        print(f"{_PROG}: error: cannot write output: {_one_line(e)}", file=sys.stderr)
        return 1

    if not args.quiet:
        _print_summary(run, model, args, sys.stdout)
        _print_curves(run, curves, telescope or {}, sys.stdout)
        for path in written:
            print(f"  wrote {path}")
    return 0 if run.failure is None else 1


def _telescope(args: argparse.Namespace) -> dict[str, Any] | None:
    """Observation options of --bands, checked before the run (None without --bands)."""
    if not args.bands:
        return None
    from velquor.observe import MPC_CGS, bandpass
    from velquor.observe._emission import _colour, _inclination_factor, _scalar

    for b in args.bands:
        if b.lower() != "xrt":
            bandpass(b)
    try:
        f_col: float | str = args.f_col if args.f_col.lower() == "done12" else float(args.f_col)
    except ValueError:
        raise ValueError(f"--f-col must be a number >= 1 or 'done12', got {args.f_col!r}") from None
    _colour(f_col)
    _inclination_factor(args.inclination)
    for name in ("z", "ebv_mw", "ebv_host", "nh"):
        _scalar(f"--{name.replace('_', '-')}", getattr(args, name), low=0.0, inclusive=True)
    d_l = None if args.d_l is None else _scalar("--d-l", args.d_l, unit=" Mpc") * MPC_CGS
    return dict(z=args.z, d_L=d_l, f_col=f_col, inclination=args.inclination, ebv_mw=args.ebv_mw,
                ebv_host=args.ebv_host, N_H=args.nh)  # fmt: skip


def _curve_columns(run: Any, curves: dict[str, Any], telescope: dict[str, Any] | None) -> dict[str, Any]:
    if not curves or telescope is None:
        return {}
    from velquor.tde import DAY

    cols = {"t_obs [d]": (1.0 + telescope["z"]) * run.t / DAY}
    for name, (values, unit) in curves.items():
        cols[f"{name} [{unit}]"] = values
    return cols


def _print_curves(run: Any, curves: dict[str, Any], telescope: dict[str, Any], out: TextIO) -> None:
    import numpy as np

    from velquor.tde import DAY

    t_obs = (1.0 + telescope.get("z", 0.0)) * run.t / DAY
    for name, (values, unit) in curves.items():
        ok = np.isfinite(values)
        if not ok.any():
            continue
        k = int(np.nanargmin(np.where(ok, values, np.nan))) if unit == "AB mag" else int(
            np.nanargmax(np.where(ok, values, np.nan)))
        value = f"{values[k]:.2f} {unit}" if unit == "AB mag" else f"{values[k]:.3g} {unit}"
        print(f"  peak {name:<26} {value}  at t_obs = {t_obs[k]:.4g} days", file=out)


def _save_telescope_plots(run: Any, curves: dict[str, Any], telescope: dict[str, Any], args: argparse.Namespace) -> None:
    import numpy as np
    from matplotlib.figure import Figure

    from velquor.observe._figures import plot_light_curves, plot_spectra
    from velquor.tde import DAY

    z = telescope.get("z", 0.0)
    fig = Figure(figsize=(8, 6.5), layout="constrained")
    where = f"z = {z:g}" if z > 0 or telescope.get("d_L") is None else f"d_L = {args.d_l:g} Mpc"
    plot_light_curves((1.0 + z) * run.t / DAY, curves, fig, title=f"disk emission, {where}")
    fig.savefig(args.lc_plot, dpi=110)
    fig = Figure(figsize=(8, 5.5), layout="constrained")
    epochs = sorted({run.i_peak, *np.unique(np.geomspace(1, run.n, 5).astype(int) - 1)})
    plot_spectra(run, epochs, f_col=telescope.get("f_col", 1.0), bands=args.bands, fig=fig)
    fig.savefig(args.spectrum_plot, dpi=110)


def _ensure_parent(path: str) -> None:
    parent = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(parent):
        raise ValueError(f"cannot write {path!r}: directory {parent!r} does not exist")


def _check_plot_format(path: str) -> None:
    try:
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError:
        raise ValueError("writing the plot needs matplotlib (pip install matplotlib, or use --no-plot)") from None
    ext = os.path.splitext(path)[1].lstrip(".").lower()
    formats = FigureCanvasBase.get_supported_filetypes()
    if ext not in formats:
        raise ValueError(f"cannot write a figure to {path!r}: use one of the extensions {', '.join(sorted(formats))}")


def _save_plot(run: Any, path: str) -> None:
    from matplotlib.figure import Figure

    # A bare Figure renders without pyplot, so no GUI backend is involved.
    fig = Figure(figsize=(10, 7.5), layout="constrained")
    run.plot(fig)
    fig.savefig(path, dpi=110)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
