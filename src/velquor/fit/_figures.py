"""Figures of a fit (matplotlib and corner are imported here, on first use)."""

from __future__ import annotations

import logging
import warnings
from typing import TYPE_CHECKING, Any, Mapping

import numpy as np

from velquor.fit._priors import LogUniform, lookup

if TYPE_CHECKING:
    from velquor.fit._result import FitResult

#: Axis of each flux unit: (label, panel order).
_AXES = {
    "uJy": (r"flux density $F_\nu$ [$\mu$Jy]", 0),
    "erg/s": (r"band luminosity $\nu L_\nu$, $L_X$ [erg s$^{-1}$]", 1),
    "erg/s/cm2": (r"X-ray flux $F_X$ (0.3-10 keV) [erg s$^{-1}$ cm$^{-2}$]", 2),
}


def _new_figure(figsize: tuple[float, float], layout: str | None = "constrained") -> Any:
    try:
        # pyplot manages the new figure (it shows in notebooks); the backend
        # already chosen is kept.
        import matplotlib.pyplot as plt
    except ImportError as exc:  # pragma: no cover - depends on the environment
        raise ImportError("figures need matplotlib: pip install 'velquor[fit]'") from exc
    return plt.figure(figsize=figsize, layout=layout)


def _display(result: FitResult, name: str) -> tuple[np.ndarray, str]:
    """Samples of a parameter as drawn in the corner plot, and their axis label (with unit)."""
    par = lookup(name)
    unit = par.unit.replace("M_sun", r"M$_\odot$")
    if name == "t_disruption_mjd":
        first = result.fit.photometry.first_detection
        return result[name] - first, r"$t_{\rm d} - t_{\rm first}$ [days]"
    if isinstance(result.priors.get(name), LogUniform):
        return np.log10(result[name]), rf"$\log_{{10}}$ {par.label.split(' [')[0]}" + (f" [{unit}]" if unit else "")
    label = par.label if "[" in par.label or not unit else f"{par.label} [{unit}]"
    return result[name], label


def corner_figure(result: FitResult, fig: Any = None, truths: Mapping[str, float] | None = None) -> Any:
    try:
        import corner
    except ImportError as exc:  # pragma: no cover - depends on the environment
        raise ImportError("the corner plot needs corner: pip install 'velquor[fit]'") from exc
    names = list(result.parameters)
    cols, labels = zip(*(_display(result, n) for n in names))
    data = np.column_stack(cols)
    k = len(names)
    if fig is None:
        fig = _new_figure((max(6.0, 1.9 * k), max(6.0, 1.9 * k)), layout=None)
    mark: list[float | None] | None = None
    if truths:
        mark = []
        for n in names:
            if n not in truths:
                mark.append(None)
            elif n == "t_disruption_mjd":
                mark.append(truths[n] - result.fit.photometry.first_detection)
            elif isinstance(result.priors.get(n), LogUniform):
                mark.append(float(np.log10(truths[n])))
            else:
                mark.append(float(truths[n]))
    ranges = [(lo, hi) if hi > lo else (lo - 0.5, hi + 0.5) for lo, hi in zip(data.min(axis=0), data.max(axis=0))]
    # corner logs "too few points to create valid contours" for sparse panels: not news.
    log = logging.getLogger()
    level = log.level
    log.setLevel(logging.ERROR)
    try:
        corner.corner(data, labels=list(labels), quantiles=[0.16, 0.5, 0.84], show_titles=True, title_fmt=".3g",
                      truths=mark, fig=fig, range=ranges, label_kwargs={"fontsize": 9},
                      title_kwargs={"fontsize": 8})  # fmt: skip
    finally:
        log.setLevel(level)
    return fig


def light_curve_figure(result: FitResult, fig: Any = None, n_draws: int = 100, seed: int | None = 0) -> Any:
    fit = result.fit
    phot = fit.photometry
    kinds = sorted(set(phot.flux_unit), key=lambda u: _AXES[u][1])
    if fig is None:
        fig = _new_figure((9.0, 3.6 * len(kinds) + 0.6))
    axes = fig.subplots(len(kinds), 1, sharex=True, squeeze=False)[:, 0]
    t0, t1 = float(phot.time.min()), float(phot.time.max())
    pad = 0.05 * (t1 - t0 or 10.0)
    grid = np.linspace(t0 - pad, t1 + pad, 160)
    draws = result.draws(n_draws, seed)
    channels = list(dict.fromkeys(phot.channel))
    # One model run per draw for every channel at once.
    all_t = np.tile(grid, len(channels))
    all_c = np.repeat(channels, grid.size)
    model = np.array([fit.predict(p, all_t, all_c) for p in draws]).reshape(len(draws), len(channels), grid.size)
    colour: dict[str, str] = {}
    shown: dict[str, np.ndarray] = {}
    for ax, kind in zip(axes, kinds):
        shown[kind] = np.empty(0)
        rows = np.flatnonzero(phot.flux_unit == kind)
        for channel in dict.fromkeys(phot.channel[rows]):
            c = colour.setdefault(channel, f"C{len(colour) % 10}")
            curves = model[:, channels.index(channel)]
            with np.errstate(all="ignore"), warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)  # no disk yet at early times: all NaN
                lo, med, hi = np.nanquantile(np.where(curves > 0, curves, np.nan), (0.16, 0.5, 0.84), axis=0)
            name = channel.replace("nuLnu:", r"$\nu L_\nu$ ")
            ax.fill_between(grid, lo, hi, color=c, alpha=0.25, lw=0)
            ax.plot(grid, med, color=c, lw=1.5, label=name)
            shown[kind] = np.concatenate([shown[kind], [np.nanmax(med)] if np.isfinite(med).any() else []])
            mine = rows[phot.channel[rows] == channel]
            det = mine[phot.detected[mine]]
            pos = det[phot.flux[det] > 0]
            ax.errorbar(phot.time[pos], phot.flux[pos], yerr=phot.flux_error[pos], fmt="o", ms=3.5, color=c,
                        mec="k", mew=0.4, elinewidth=0.8)  # fmt: skip
            # A measurement at or below zero cannot be drawn on a log axis: its
            # 2-sigma upper bound is drawn as a limit (open arrow).
            nonpos = det[phot.flux[det] <= 0]
            lim = mine[phot.upper_limit[mine]]
            for idx, face in ((lim, c), (nonpos, "none")):
                if idx.size == 0:
                    continue
                top = phot.flux[idx] if face == c else phot.flux[idx] + 2 * phot.flux_error[idx]
                top = np.where(top > 0, top, np.nan)
                ax.errorbar(phot.time[idx], top, yerr=0.35 * top, uplims=True, fmt="v", ms=4, color=c,
                            mfc=face, elinewidth=0.8)  # fmt: skip
        ax.set_yscale("log")
        # The model tends to zero before the disk forms: frame the data, not that tail.
        seen = np.concatenate([phot.flux[rows][phot.flux[rows] > 0], shown[kind]])
        if seen.size:
            ax.set_ylim(0.2 * float(np.min(seen)), 3.0 * float(np.max(seen)))
        ax.set_ylabel(_AXES[kind][0])
        ax.legend(fontsize="small", ncol=2, loc="best")
        if kind == "erg/s/cm2":
            ax.set_title("X-rays (observed 0.3-10 keV, absorbed)", fontsize="medium")
    axes[-1].set_xlabel("observed time [MJD]")
    med = {n: float(np.median(result[n])) for n in result.parameters}
    if "t_disruption_mjd" in med:
        for ax in axes:
            ax.axvline(med["t_disruption_mjd"], color="0.5", ls=":", lw=1)
    lo, m, hi = result.quantiles("log10_M_BH")
    axes[0].set_title(rf"posterior median and 16-84 % band ({len(draws)} draws); "
                      rf"$\log_{{10}} M_{{\rm BH}}/M_\odot$ = {m:.2f} (+{hi - m:.2f} / -{m - lo:.2f})",
                      fontsize="medium")  # fmt: skip
    return fig
