"""FitResult: posterior samples by name, summaries, derived quantities, files and figures."""

from __future__ import annotations

import json
import math
import os
from typing import Any, Mapping

import numpy as np

from velquor.fit._priors import LogUniform, Prior, lookup, prior_from_dict
from velquor.tde import DAY, M_SUN, YEAR

__all__ = ["FitResult", "DERIVED"]

#: Derived quantities of :meth:`FitResult.derived`: (name, unit, description).
DERIVED = (
    ("L_peak", "erg/s", "largest bolometric disk luminosity up to the last epoch (spectral, both faces)"),
    ("t_L_peak_mjd", "MJD", "its time (observed)"),
    ("eddington_ratio", "", "L_peak / L_Edd (kappa_es = 0.34)"),
    ("Mdot_peak_msun_yr", "M_sun/yr", "largest accretion rate through R_in up to the last epoch"),
    ("M_disk_msun", "M_sun", "disk mass at the last epoch"),
    ("t_fb_days", "days", "fallback time of the most bound debris (rest frame), when the disk starts"),
)

_FORMAT_VERSION = 1


def _plain(x: Any) -> Any:
    """JSON-safe copy (numpy scalars and arrays to Python, non-finite floats to strings)."""
    if isinstance(x, Mapping):
        return {str(k): _plain(v) for k, v in x.items()}
    if isinstance(x, (list, tuple, np.ndarray)):
        return [_plain(v) for v in x]
    if isinstance(x, (np.floating, float)):
        f = float(x)
        return f if math.isfinite(f) else repr(f)
    if isinstance(x, (np.integer,)):
        return int(x)
    if isinstance(x, np.bool_):
        return bool(x)
    return x


def _unplain(x: Any) -> Any:
    if isinstance(x, dict):
        return {k: _unplain(v) for k, v in x.items()}
    if isinstance(x, list):
        return [_unplain(v) for v in x]
    if x in ("nan", "inf", "-inf"):
        return float(x)
    return x


class FitResult:
    """Posterior samples of a fit, with their summaries, files and figures.

    Made by :meth:`TDEFit.sample`, :meth:`TDEFit.sample_nested` or
    :meth:`FitResult.load`.

    Attributes
    ----------
    parameters : tuple of str
        The free parameters, in the fit's order.
    fixed : dict
        The fixed parameters and their values.
    priors : dict
        The prior of each free parameter.
    log_prob : numpy.ndarray or None
        Log posterior density of each sample (sampler coordinates).
    info : dict
        How the samples were made: sampler, walkers, steps, burn-in, thinning,
        autocorrelation times, convergence, acceptance fraction, wall time
        (nested sampling: the log evidence and its error).

    Notes
    -----
    ``result["M_BH"]`` is the array of samples of a parameter, in its unit;
    ``result["log10_M_BH"]`` its log10 (any positive parameter has such a twin);
    a fixed parameter gives its value for every sample.
    """

    def __init__(self, samples: Mapping[str, np.ndarray], *, fixed: Mapping[str, Any], priors: Mapping[str, Prior],
                 log_prob: np.ndarray | None, info: Mapping[str, Any], recipe: Mapping[str, Any],
                 fit: Any = None) -> None:  # fmt: skip
        self.parameters = tuple(samples)
        self._samples = {k: np.asarray(v, dtype=np.float64) for k, v in samples.items()}
        sizes = {v.size for v in self._samples.values()}
        if len(sizes) != 1:
            raise ValueError(f"every parameter needs the same number of samples, got sizes {sorted(sizes)}")
        self.n = sizes.pop()
        self.fixed = dict(fixed)
        self.priors = dict(priors)
        self.log_prob = None if log_prob is None else np.asarray(log_prob, dtype=np.float64)
        self.info = dict(info)
        self._recipe = dict(recipe)
        self._fit = fit
        self._derived: dict[str, np.ndarray] | None = None

    @classmethod
    def from_coordinates(cls, fit: Any, u: np.ndarray, log_prob: np.ndarray | None, info: Mapping[str, Any]) -> FitResult:
        """Samples in a fit's sampler coordinates (one row per sample)."""
        u = np.atleast_2d(np.asarray(u, dtype=np.float64))
        samples = {name: np.asarray(prior.from_sampler(u[:, k]), dtype=np.float64)
                   for k, (name, prior) in enumerate(zip(fit.parameters, fit._prior_list))}  # fmt: skip
        return cls(samples, fixed=fit.fixed, priors=fit.priors, log_prob=log_prob, info=info, recipe=fit._recipe(),
                   fit=fit)  # fmt: skip

    # -- samples -------------------------------------------------------------------

    def __getitem__(self, name: str) -> np.ndarray:
        if name in self._samples:
            return self._samples[name]
        if name in self.fixed and not isinstance(self.fixed[name], str):
            return np.full(self.n, float(self.fixed[name]))
        if name.startswith("log10_"):
            values = self[name[6:]]
            if np.all(values > 0):
                return np.log10(values)
            raise KeyError(f"{name}: {name[6:]} is not positive in every sample")
        if self._derived is not None and name in self._derived:
            return self._derived[name]
        raise KeyError(f"no samples of {name!r}; free parameters: {', '.join(self.parameters)}")

    def __contains__(self, name: object) -> bool:
        try:
            self[str(name)]
        except KeyError:
            return False
        return True

    @property
    def samples(self) -> dict[str, np.ndarray]:
        """The free parameters' samples by name, and ``log10_<name>`` for each log-uniform one (M_BH always)."""
        out = dict(self._samples)
        for name in self.parameters:
            if isinstance(self.priors.get(name), LogUniform) or name == "M_BH":
                out[f"log10_{name}"] = np.log10(self._samples[name])
        if "log10_M_BH" not in out:
            out["log10_M_BH"] = self["log10_M_BH"]
        return out

    def quantiles(self, name: str, q: Any = (0.16, 0.5, 0.84)) -> np.ndarray:
        """Quantiles of a parameter (or ``log10_`` twin, or derived quantity)."""
        return np.quantile(self[name], q)

    def median(self, name: str) -> float:
        """Median of a parameter's samples."""
        return float(np.median(self[name]))

    @property
    def best(self) -> dict[str, Any]:
        """Every parameter at the sample with the highest posterior density (medians without densities)."""
        if self.log_prob is not None and self.log_prob.size == self.n and np.isfinite(self.log_prob).any():
            k = int(np.nanargmax(self.log_prob))
            p = {name: float(v[k]) for name, v in self._samples.items()}
        else:
            p = {name: float(np.median(v)) for name, v in self._samples.items()}
        return {**self.fixed, **p}

    def draws(self, n: int, seed: int | None = 0) -> list[dict[str, Any]]:
        """``n`` parameter dictionaries drawn from the samples (without replacement when possible)."""
        rng = np.random.default_rng(seed)
        idx = np.sort(rng.choice(self.n, size=n, replace=False)) if n < self.n else np.arange(self.n)
        return [{**self.fixed, **{k: float(v[i]) for k, v in self._samples.items()}} for i in idx]

    # -- summaries -------------------------------------------------------------------

    def summary(self, derived: bool = True) -> Any:
        """One row per parameter: median and the 16th/84th percentiles.

        Rows: each free parameter, ``log10_M_BH``, the fixed parameters (their
        value in every column), then the derived quantities of :meth:`derived`
        when ``derived`` is True (they are computed on first use).

        Returns
        -------
        astropy.table.Table
            Columns ``name``, ``unit``, ``median``, ``p16``, ``p84``,
            ``minus`` (median - p16), ``plus`` (p84 - median), ``status``
            ("free", "fixed" or "derived") and ``prior``.
        """
        from astropy.table import Table

        rows = []
        names = list(self.parameters)
        names.insert(names.index("M_BH") + 1 if "M_BH" in names else 0, "log10_M_BH")
        for name in names:
            base = name[6:] if name.startswith("log10_") else name
            unit = lookup(base).unit
            if name != base:
                unit = f"log10({unit})" if unit else "log10"
            p16, p50, p84 = self.quantiles(name)
            status = "fixed" if base in self.fixed else "free"
            rows.append((name, unit, p50, p16, p84, p50 - p16, p84 - p50, status,
                         repr(self.priors[base]) if base in self.priors else ""))  # fmt: skip
        for name, value in self.fixed.items():
            x = math.nan if isinstance(value, str) else float(value)
            rows.append((name, lookup(name).unit, x, x, x, 0.0, 0.0, "fixed", str(value) if isinstance(value, str) else ""))
        if derived:
            d = self.derived()
            for name, unit, _ in DERIVED:
                v = d[name][np.isfinite(d[name])]
                p16, p50, p84 = np.quantile(v, (0.16, 0.5, 0.84)) if v.size else (math.nan,) * 3
                rows.append((name, unit, p50, p16, p84, p50 - p16, p84 - p50, "derived", ""))
        return Table(rows=rows, names=("name", "unit", "median", "p16", "p84", "minus", "plus", "status", "prior"))

    def summary_text(self, derived: bool = True) -> str:
        """The summary as aligned text: ``name  median -minus +plus  unit``."""
        t = self.summary(derived)
        width = max(len(str(n)) for n in t["name"])
        lines = []
        for row in t:
            name, unit, med = str(row["name"]), str(row["unit"]), float(row["median"])
            if row["status"] == "fixed":
                val = str(row["prior"]) if row["prior"] else f"{med:.6g}"
                lines.append(f"  {name:<{width}}  {val} (fixed)  {unit}")
            else:
                lines.append(f"  {name:<{width}}  {_fmt_pm(med, float(row['minus']), float(row['plus']))}  {unit}")
        return "\n".join(lines)

    # -- the model behind the samples ---------------------------------------------------

    @property
    def fit(self) -> Any:
        """The :class:`TDEFit` the samples belong to (rebuilt from the saved description after :meth:`load`)."""
        if self._fit is None:
            from velquor.fit._fit import TDEFit

            self._fit = TDEFit._from_recipe(self._recipe)
        return self._fit

    def derived(self, n_draws: int = 200, seed: int | None = 0) -> dict[str, np.ndarray]:
        """Derived quantities for ``n_draws`` posterior draws (see :data:`DERIVED`); cached.

        Each draw's disk is run from its start to the last epoch of the data
        (200 times, log-spaced): ``L_peak`` (the bolometric luminosity of the
        disk spectrum, with the fitted outer radius), ``t_L_peak_mjd``,
        ``eddington_ratio``, ``Mdot_peak_msun_yr``, ``M_disk_msun`` (at the last
        epoch) and ``t_fb_days``.  NaN for a draw whose disk has not started by
        the last epoch or fails.
        """
        if self._derived is not None:
            return self._derived
        from velquor.observe import disk_luminosity

        fit = self.fit
        model = fit.model
        t_last = float(np.max(fit.photometry.time))
        out = {name: np.full(min(n_draws, self.n), np.nan) for name, _, _ in DERIVED}
        for k, p in enumerate(self.draws(n_draws, seed)):
            try:
                disk = model.disk(p)
                out["t_fb_days"][k] = disk.t_fb / DAY
                t_end = float(model.rest_times(p, np.array([t_last]))[0])
                if not t_end > disk.t_fb:
                    continue
                run = disk.run(t_eval=np.geomspace(disk.t_fb, t_end, 200))
                mdot, r_out = run.disk_state(None, p["R_out_factor"])
                lum = np.asarray(disk_luminosity(mdot, disk.M_BH_g, disk.R_in, r_out,
                                                 eddington_limited=model.photometer_options["eddington_limited"]))  # fmt: skip
            except (ValueError, RuntimeError):
                continue
            i = int(np.argmax(lum))
            out["L_peak"][k] = lum[i]
            out["t_L_peak_mjd"][k] = p["t_disruption_mjd"] + run.t[i] * (1.0 + fit.z) / DAY
            out["eddington_ratio"][k] = lum[i] / run.L_Edd
            out["Mdot_peak_msun_yr"][k] = float(np.max(mdot)) * YEAR / M_SUN
            out["M_disk_msun"][k] = float(run.M[-1]) / M_SUN
        self._derived = out
        return out

    # -- files ---------------------------------------------------------------------------

    def table(self) -> Any:
        """The samples as an astropy Table: one column per free parameter (in its unit), ``log10_M_BH``
        and ``log_probability``; the fit's description in ``meta``."""
        from astropy.table import Table

        cols: dict[str, Any] = {}
        for name in self.parameters:
            cols[name] = self._samples[name]
            if name == "M_BH":
                cols["log10_M_BH"] = np.log10(self._samples[name])
        if self.log_prob is not None and self.log_prob.size == self.n:
            cols["log_probability"] = self.log_prob
        t = Table(cols)
        for name in self.parameters:
            unit = lookup(name).unit
            t[name].description = lookup(name).doc + (f" [{unit}]" if unit else "")
        meta: dict[str, Any] = {
            "format": "velquor fit posterior", "format_version": _FORMAT_VERSION, "parameters": list(self.parameters),
            "units": {n: lookup(n).unit for n in self.parameters},
            "fixed": self.fixed, "priors": {n: p.to_dict() for n, p in self.priors.items()},
            "info": self.info, "fit": self._recipe,
        }  # fmt: skip
        if self._derived is not None:
            meta["derived"] = self._derived
        from velquor import __version__

        meta["velquor_version"] = __version__
        t.meta["velquor_fit"] = json.dumps(_plain(meta), sort_keys=True)
        return t

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the samples and everything needed to reload the fit to an ECSV file.

        The file is a plain table (one column per free parameter, named as in
        the Python API, plus ``log10_M_BH`` and ``log_probability``); its header
        holds the data, priors, fixed values, options and sampler information
        as JSON, so :meth:`load` restores the result and its fit.
        """
        path = os.fspath(path)
        tmp = f"{path}.tmp-{os.getpid()}.ecsv"
        self.table().write(tmp, format="ascii.ecsv", overwrite=True)
        os.replace(tmp, path)

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> FitResult:
        """Read a result written by :meth:`save`."""
        from astropy.table import Table

        from velquor.tde import MAX_RESULT_BYTES

        path = os.fspath(path)
        # a device (/dev/zero) or a huge file would be read without end: only regular files of bounded size
        if os.path.exists(path) and not os.path.isfile(path):
            raise ValueError(f"cannot read {path!r}: not a regular file")
        if os.path.isfile(path) and os.path.getsize(path) > MAX_RESULT_BYTES:
            raise ValueError(f"cannot read {path!r}: larger than MAX_RESULT_BYTES = {MAX_RESULT_BYTES} bytes")
        try:
            t = Table.read(path, format="ascii.ecsv")
        except Exception as exc:  # noqa: BLE001 - astropy raises many kinds
            raise ValueError(f"cannot read {path!r} as ECSV: {exc}") from None
        if "velquor_fit" not in t.meta:
            raise ValueError(f"{path!r} is not a velquor fit posterior (no 'velquor_fit' in its header)")
        try:
            meta = _unplain(json.loads(t.meta["velquor_fit"]))
            if meta.get("format_version") != _FORMAT_VERSION:
                raise ValueError(f"{path!r} has format version {meta.get('format_version')!r}; this velquor reads "
                                 f"{_FORMAT_VERSION}")  # fmt: skip
            samples = {n: np.array(t[n], dtype=np.float64) for n in meta["parameters"]}
            lp = np.array(t["log_probability"], dtype=np.float64) if "log_probability" in t.colnames else None
            priors = {n: prior_from_dict(d) for n, d in meta["priors"].items()}
            result = cls(samples, fixed=meta["fixed"], priors=priors, log_prob=lp, info=meta["info"],
                         recipe=meta["fit"])  # fmt: skip
            if "derived" in meta:
                result._derived = {k: np.array(v, dtype=np.float64) for k, v in meta["derived"].items()}
        except (KeyError, TypeError, AttributeError, json.JSONDecodeError) as exc:
            raise ValueError(f"{path!r} is a damaged velquor fit posterior ({type(exc).__name__}: {exc})") from None
        return result

    def __repr__(self) -> str:
        state = "converged" if self.info.get("converged") else "not converged"
        lo, med, hi = self.quantiles("log10_M_BH")
        return (f"<FitResult: {self.n} samples of {len(self.parameters)} parameters ({self.info.get('sampler', '?')}, "
                f"{state}); log10 M_BH = {med:.3f} -{med - lo:.3f} +{hi - med:.3f}>")  # fmt: skip

    # -- figures ----------------------------------------------------------------------------

    def corner(self, fig: Any = None, truths: Mapping[str, float] | None = None) -> Any:
        """Corner plot of the free parameters (log10 of the log-uniform ones; the disruption time in days
        from the first detection), with 16/50/84 % quantiles.

        Parameters
        ----------
        fig : matplotlib.figure.Figure, optional
            An empty figure to draw into (default: a new one through pyplot).
        truths : dict, optional
            Values to mark, by parameter name (e.g. the input of a synthetic light curve).

        Returns
        -------
        matplotlib.figure.Figure
        """
        from velquor.fit._figures import corner_figure

        return corner_figure(self, fig, truths)

    def plot_light_curves(self, fig: Any = None, n_draws: int = 100, seed: int | None = 0) -> Any:
        """The data with the model's posterior median and 16-84 % band, one colour per band.

        Flux densities (from magnitudes and microjanskys) on one axis, band
        luminosities and X-rays each on their own; upper limits as arrows.

        Returns
        -------
        matplotlib.figure.Figure
        """
        from velquor.fit._figures import light_curve_figure

        return light_curve_figure(self, fig, n_draws, seed)


def _fmt_pm(med: float, minus: float, plus: float) -> str:
    """``median -minus +plus``: errors to two significant digits, the median to the same decimal place."""
    if not math.isfinite(med):
        return "nan"
    errors = [e for e in (minus, plus) if e > 0 and math.isfinite(e)]
    last = math.floor(math.log10(min(errors))) - 1 if errors else math.floor(math.log10(abs(med) or 1.0)) - 3
    digits = max(1, math.floor(math.log10(abs(med))) - last + 1) if med != 0 else 2
    if 1e-3 <= abs(med) < 1e6:
        if not errors:
            return f"{med:.{digits}g} -{minus:.2g} +{plus:.2g}"
        places = max(0, -last)  # fixed point: the median and both errors to one decimal place
        return f"{med:.{places}f} -{minus:.{places}f} +{plus:.{places}f}"
    return f"{med:.{digits - 1}e} -{minus:.1e} +{plus:.1e}"
