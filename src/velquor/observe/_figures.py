"""Light curves and spectra of a disk run, and their figures (matplotlib imported on use)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Sequence

import numpy as np

from velquor.observe._bandpass import ab_magnitude, bandpass

if TYPE_CHECKING:
    from velquor.tde import DiskRun

_XRAY = ("xrt",)


def light_curves(
    run: DiskRun,
    bands: Sequence[str],
    *,
    z: float = 0.0,
    d_L: float | None = None,
    f_col: float | str = 1.0,
    inclination: float | None = None,
    ebv_mw: float = 0.0,
    ebv_host: float = 0.0,
    N_H: float = 0.0,
) -> dict[str, tuple[np.ndarray, str]]:
    """Band light curves of a run at its columns, with one photometer for every band.

    With a distance (z > 0 or ``d_L``) bands give observed AB magnitudes and
    ``"xrt"`` the observed 0.3-10 keV flux; without one, rest-frame nu L_nu at
    each band's pivot and the 0.3-10 keV luminosity.

    Returns
    -------
    dict
        Canonical band name (``"xrt"`` for X-rays) to (values, unit text).
    """
    from velquor.observe._photometer import Photometer

    observed = z > 0 or d_L is not None
    names = []
    for b in bands:
        names.append("xrt" if b.strip().lower() in _XRAY else bandpass(b).name)
    names = list(dict.fromkeys(names))
    channels = [
        ("xrt" if observed else "Lx") if n == "xrt" else (n if observed else f"nuLnu:{n}") for n in names
    ]
    phot = Photometer(channels, z=z, d_L=d_L, f_col=f_col, ebv_mw=ebv_mw, ebv_host=ebv_host, N_H=N_H)
    out: dict[str, tuple[np.ndarray, str]] = {}
    mdot, r = run.Mdot_acc, run.R
    for k, (name, channel) in enumerate(zip(names, channels)):
        values = phot(mdot, r, np.full(run.n, k), M_BH=run.M_BH, R_in=run.R_in, inclination=inclination)
        if channel == name and name != "xrt":
            out[name] = (np.asarray(ab_magnitude(values)), "AB mag")
        elif name == "xrt":
            out[name] = (values, "erg s^-1 cm^-2" if observed else "erg s^-1")
        else:
            out[name] = (values, "erg s^-1")
    return out


def plot_light_curves(
    t_obs_days: np.ndarray, curves: dict[str, tuple[np.ndarray, str]], fig: Any = None, title: str | None = None
) -> Any:
    """Figure of band light curves against observed time, X-rays on their own axis.

    Parameters
    ----------
    t_obs_days : array
        Observed days since the disruption.
    curves : dict
        As returned by :func:`light_curves`.
    fig : matplotlib.figure.Figure, optional
        Figure to draw into (a new one by default).
    """
    if fig is None:
        import matplotlib.pyplot as plt

        fig = plt.figure(figsize=(8, 6.5), layout="constrained")
    optical = {k: v for k, v in curves.items() if k != "xrt"}
    xray = curves.get("xrt")
    rows = (1 if optical else 0) + (1 if xray is not None else 0)
    axes = np.atleast_1d(fig.subplots(rows, 1, sharex=True, squeeze=False)[:, 0])
    t = np.asarray(t_obs_days)
    if optical:
        ax = axes[0]
        mags = next(iter(optical.values()))[1] == "AB mag"
        brightest = np.inf
        for k, (name, (values, _)) in enumerate(optical.items()):
            v = np.where(np.isfinite(values) & (values > (-np.inf if mags else 0.0)), values, np.nan)
            label = f"{name} ({bandpass(name).pivot_wavelength:.0f} $\\AA$)"
            ax.plot(t, v, color=f"C{k}", lw=2, label=label)
            if mags and np.isfinite(v).any():
                brightest = min(brightest, float(np.nanmin(v)))
        if mags:
            if np.isfinite(brightest):
                ax.set_ylim(brightest + 10.0, brightest - 0.5)
            ax.set_ylabel("observed AB magnitude [mag]")
        else:
            ax.set_yscale("log")
            ax.set_ylabel(r"rest-frame $\nu L_\nu$ at the band pivot [erg s$^{-1}$]")
        ax.set_xscale("log")
        ax.legend(loc="best", fontsize="small")
        ax.grid(True, which="major", alpha=0.3)
    if xray is not None:
        ax = axes[-1]
        values, unit = xray
        ax.loglog(t, np.where(values > 0, values, np.nan), color="k", lw=2, label="0.3-10 keV")
        flux = "cm" in unit
        ax.set_ylabel(
            r"observed $F_X$ (0.3-10 keV) [erg s$^{-1}$ cm$^{-2}$]" if flux else r"$L_X$ (0.3-10 keV) [erg s$^{-1}$]"
        )
        finite = values[np.isfinite(values) & (values > 0)]
        if finite.size:
            ax.set_ylim(finite.max() * 1e-6, finite.max() * 3)
        else:  # e.g. a column that absorbs every photon: say so rather than leave an empty frame
            ax.text(0.5, 0.5, "no X-ray flux above zero at any time", transform=ax.transAxes, ha="center")
        ax.legend(loc="best", fontsize="small")
        ax.grid(True, which="major", alpha=0.3)
    axes[-1].set_xlabel("observed time since disruption [days]")
    if title:
        fig.suptitle(title)
    return fig


def plot_spectra(
    run: DiskRun, epochs: Sequence[int], *, f_col: float | str = 1.0, bands: Sequence[str] = (), fig: Any = None
) -> Any:
    """Figure of rest-frame nu L_nu at a few columns of a run, band pivots marked."""
    from velquor.tde import DAY

    if fig is None:
        import matplotlib.pyplot as plt

        fig = plt.figure(figsize=(8, 5.5), layout="constrained")
    ax = fig.subplots()
    nu = np.geomspace(1e13, 1e19, 400)
    cols = np.asarray(list(epochs), dtype=int)
    spectra = run.spectrum(nu, run.t[cols], f_col=f_col)
    top = 0.0
    for k, (c, L) in enumerate(zip(cols, spectra)):
        y = nu * L
        top = max(top, float(y.max()))
        ax.loglog(nu, np.where(y > 0, y, np.nan), color=f"C{k}", lw=2, label=f"t = {run.t[c] / DAY:.4g} d")
    for name in bands:
        if name.strip().lower() in _XRAY:
            continue
        ax.axvline(bandpass(name).pivot_frequency, color="0.6", lw=0.8, ls=":")
    if top > 0:
        ax.set_ylim(top * 1e-6, top * 3)
    ax.set_xlabel(r"rest-frame frequency $\nu$ [Hz]")
    ax.set_ylabel(r"$\nu L_\nu$ [erg s$^{-1}$]")
    ax.set_title("disk spectrum (dotted: band pivots)")
    ax.legend(loc="best", fontsize="small")
    ax.grid(True, which="major", alpha=0.3)
    return fig
