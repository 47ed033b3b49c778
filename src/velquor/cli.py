"""Command line: ``velquor`` runs the one-zone disk of a tidal disruption event.

``main(argv=None)`` parses the arguments, runs the model, prints a summary,
writes a plot and a table, and returns the exit code (0 success, 1 a model that
failed, 2 bad input).  Errors are reported on one line of standard error.
"""

from __future__ import annotations

import argparse
import os
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
black hole, viscosity alpha = 0.1, gas-pressure-only disk with electron-
scattering opacity, fallback rate ~ t^(-5/3), followed to 1000 years after the
disruption.  It prints a summary (peak accretion rate and its time, disk mass at
the end, late-time slope of the accretion rate) and writes, in the current
directory:

  velquor_tde.png   accretion/fallback rates, disk mass and radius, temperatures
  velquor_tde.csv   one line per step, every quantity in CGS units"""

_EPILOG = """\
examples:
  velquor                                   reference run, writes PNG and CSV
  velquor --mbh 1e7 --beta 2                heavier black hole, deeper encounter
  velquor --no-fallback --t-end 1e5         a ring of half the star, no feeding
  velquor --opacity kramers --alpha 0.05    Kramers opacity, lower viscosity
  velquor --opal-table GN93hz --opal-table-number 73
  velquor --plot out/run.png --csv out/run.csv --npz out/run.npz
  velquor --bands ztf_g,uvot_uvw1,xrt --z 0.05   light curves, magnitudes in the CSV

Times are in days after the disruption, masses in solar masses, radii in solar
radii.  The table and the .npz file hold CGS values; the CSV header names the
unit of every column."""


class _UsageError(Exception):
    pass


class _Exit(Exception):
    def __init__(self, status: int) -> None:
        super().__init__(status)
        self.status = status


class _Parser(argparse.ArgumentParser):
    """Reports errors by raising, so ``main`` prints one line and returns a code."""

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
    g.add_argument("--rstar", type=_number, default=1.0, metavar="RSUN",
                   help="radius of the star in solar radii (default: %(default)g)")
    g.add_argument("--beta", type=_number, default=1.0,
                   help="penetration factor: tidal radius / pericentre; the disk forms at twice the "
                        "pericentre (default: %(default)g)")

    g = p.add_argument_group("the disk")
    g.add_argument("--alpha", type=_number, default=0.1, help="viscosity parameter in (0, 1] (default: %(default)g)")
    g.add_argument("--mu", type=_number, default=0.6, help="mean molecular weight (default: %(default)g)")
    g.add_argument("--closure", default="gas", metavar="{gas,gas+radiation}",
                   help="thermal model: gas pressure only, or gas plus radiation pressure (no thin-disk "
                        "solution for heavy disks) (default: %(default)s)")
    g.add_argument("--opacity", default="es", metavar="{es,kramers}",
                   help="electron scattering, or Kramers plus electron scattering (default: %(default)s)")
    g.add_argument("--opal-table", metavar="PATH",
                   help="use an OPAL-format Rosseland-mean opacity table file instead of --opacity")
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
        M_BH=args.mbh, M_star=args.mstar, R_star=args.rstar, beta=args.beta,
        alpha=args.alpha, mu=args.mu, closure=args.closure, opacity=args.opacity,
        fallback=args.fallback, epsilon=args.epsilon, t_end=args.t_end, max_steps=args.max_steps,
        beta_fb=args.beta_fb, seed_mass=args.seed_mass, eta=args.eta, integrator=args.integrator,
        rtol=args.rtol, n_out=args.n_out,
    )  # fmt: skip
    if args.opal_table is not None:
        if args.opacity != "es":
            raise _UsageError("give either --opacity or --opal-table, not both")
        kw["opal_table"] = args.opal_table
        kw["opal_table_number"] = args.opal_table_number
    elif args.opal_table_number is not None:
        raise _UsageError("--opal-table-number needs --opal-table")
    return kw


def _print_summary(run: Any, model: Any, out: TextIO) -> None:
    from velquor.tde import DAY, M_SUN, YEAR

    s = run.summary()
    rows = [
        ("black hole", f"{model.M_BH:g} M_sun"),
        ("star", f"{model.M_star:g} M_sun, {model.R_star:g} R_sun, beta = {model.beta:g}"),
        ("circularisation radius R_c", f"{model.R_c:.4g} cm"),
        ("fallback time t_fb", f"{model.t_fb / DAY:.4g} days"),
        ("peak fallback rate", f"{model.M_fb_0 * YEAR / M_SUN:.4g} M_sun/yr" if model.fallback else "no fallback"),
        ("steps", f"{s['n_steps']}  (t = {model.t_start / DAY:.4g} .. {s['t_end']:.4g} days"
                  + (")" if run.completed else ", stopped before t_end)")),
        ("peak accretion rate", f"{s['peak_Mdot_acc']:.4g} M_sun/yr  (L = {s['peak_L']:.3g} erg/s, "
                                f"{s['peak_L'] / run.L_Edd:.3g} L_Edd)"),
        ("time of peak", f"{s['t_peak']:.4g} days  ({s['t_peak'] * DAY / YEAR:.3g} yr)"),
        ("disk mass at the end", f"{s['M_end']:.4g} M_sun"),
        ("late-time slope", f"d ln Mdot / d ln t = {s['late_time_slope']:.4f}  (last decade; "
                            f"self-similar drain: -19/16 = -1.1875)"),
    ]  # fmt: skip
    width = max(len(k) for k, _ in rows)
    for k, v in rows:
        print(f"  {k:<{width}}  {v}", file=out)


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
        0 on success, 1 when the model failed, 2 for bad input.
    """
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
    except (ValueError, TypeError, KeyError, ImportError) as e:
        print(f"{_PROG}: error: {_one_line(e)}", file=sys.stderr)
        return 2

    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", RuntimeWarning)
            run = model.run()
    except (RuntimeError, ValueError, ArithmeticError, MemoryError) as e:
        print(f"{_PROG}: error: the model failed: {_one_line(e)}", file=sys.stderr)
        return 1
    for w in caught:
        print(f"{_PROG}: warning: {_one_line(w.message)}", file=sys.stderr)  # type: ignore[arg-type]

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
        _print_summary(run, model, sys.stdout)
        _print_curves(run, curves, telescope or {}, sys.stdout)
        for path in written:
            print(f"  wrote {path}")
    return 0


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
