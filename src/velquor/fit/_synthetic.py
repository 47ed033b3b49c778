"""Synthetic light curves from the fit's own model: demos, tests and injection-recovery."""

from __future__ import annotations

import math
from typing import Any, Mapping, Sequence

import numpy as np

from velquor.fit._data import Photometry
from velquor.fit._model import LightCurveModel
from velquor.fit._priors import PARAMETERS, lookup

__all__ = ["synthetic_light_curve", "DEMO_TRUTH", "DEMO_BANDS", "DEMO_Z"]

#: The disruption of the demo light curve (``velquor fit --demo``).
DEMO_TRUTH: dict[str, float] = {
    "M_BH": 1e6, "M_star": 1.0, "beta": 1.5, "alpha": 0.1, "spin": 0.0, "t_disruption_mjd": 59000.0,
    "inclination": 30.0, "R_out_factor": 1.0, "f_col": 1.0, "ebv_host": 0.0, "f_sys": 0.0,
}  # fmt: skip
#: Its bands: ZTF g and r (magnitudes), Swift/UVOT UVW2, UVM2, UVW1 and U (microjansky); plus X-rays.
DEMO_BANDS = ("ztf_g", "ztf_r", "uvot_uvw2", "uvot_uvm2", "uvot_uvw1", "uvot_u")
#: Its redshift.
DEMO_Z = 0.02

# 5-sigma depth [AB mag] of one visit, by survey (sets the noise floor and the limits).
_DEPTH = {"ztf": 20.5, "uvot": 22.0}
_XRAY_SIGMA = 3e-15  # erg/s/cm2: one sigma of an X-ray flux, so limits near 1e-14


def synthetic_light_curve(
    truth: Mapping[str, float] | None = None,
    *,
    z: float = DEMO_Z,
    d_L: float | None = None,
    bands: Sequence[str] = DEMO_BANDS,
    xray: bool = True,
    n_points: int = 120,
    first_days: float | None = None,
    span_days: float = 500.0,
    relative_error: float = 0.05,
    seed: int | None = 0,
    **model_options: Any,
) -> tuple[Photometry, dict[str, float]]:
    """A light curve of the fit model with noise: for demos, tests and injection-recovery.

    Epochs are spread evenly in log time from ``first_days`` to
    ``first_days + span_days`` after the disruption (observed frame); each band
    is observed in turn so that there are ``n_points`` rows.  Fluxes get
    Gaussian noise of ``relative_error`` times the flux added in quadrature to
    a floor (ZTF: a fifth of a 20.5 mag source; UVOT: of 22 mag; X-rays:
    3e-15 erg/s/cm2), and ``truth["f_sys"]`` times the flux as scatter that the
    errors do not report; a point below three floor-sigmas becomes a 3-sigma
    upper limit.  ZTF bands are given in AB magnitudes, the others in microjansky,
    X-rays as 0.3-10 keV flux [erg/s/cm2].

    Parameters
    ----------
    truth : dict, optional
        Parameters by name; missing ones take :data:`DEMO_TRUTH` values (then
        each parameter's fixed default).
    z, d_L : float, optional
        Redshift and luminosity distance [cm] (default from z, Planck 2018).
    bands : sequence of str, optional
        Bandpass names (default :data:`DEMO_BANDS`).
    xray : bool, optional
        Add X-ray points (default True).
    n_points : int, optional
        Number of rows (default 120).
    first_days : float, optional
        First epoch [observed days after the disruption]; default 1.1 times the
        observed fallback time, when the disk forms.
    span_days : float, optional
        Observed days covered (default 500).
    relative_error : float, optional
        Fractional error of every flux (default 0.05).
    seed : int, optional
        Noise seed.
    **model_options
        ``closure``, ``opacity``, ``blackbody``, ``ebv_mw``, ``N_H``, ... as for
        :class:`velquor.fit.TDEFit`.

    Returns
    -------
    (Photometry, dict)
        The light curve and the complete parameter dictionary that made it.
    """
    rng = np.random.default_rng(seed)
    if isinstance(n_points, bool) or not isinstance(n_points, int) or n_points < 2:
        raise ValueError(f"n_points must be an integer >= 2, got {n_points!r}")
    blackbody = bool(model_options.pop("blackbody", False))
    p: dict[str, Any] = {q.name: q.value for q in PARAMETERS if blackbody or q.group != "blackbody"}
    p.update({k: v for k, v in DEMO_TRUTH.items() if k in p})
    for name, value in (truth or {}).items():
        lookup(name, blackbody)
        p[name] = value
    missing = [k for k, v in p.items() if isinstance(v, float) and math.isnan(v)]
    if missing:
        raise ValueError(f"truth must give {', '.join(missing)}")
    if d_L is None:
        from velquor.observe import luminosity_distance

        d_L = luminosity_distance(z)
    channels = [*bands, *(["xrt"] if xray else [])]
    f_col = p["f_col"]
    model = LightCurveModel(
        channels, z=z, d_L=d_L, f_col_rule="done12" if f_col == "done12" else None, ebv_host=float(p["ebv_host"]),
        blackbody=blackbody, **model_options,
    )  # fmt: skip
    disk = model.disk(p)
    t_fb_obs = disk.t_fb / 86400.0 * (1.0 + z)
    start = 1.1 * t_fb_obs if first_days is None else float(first_days)
    n_epochs = math.ceil(n_points / len(channels))
    epochs = p["t_disruption_mjd"] + np.geomspace(start, start + span_days, n_epochs)
    row = np.arange(n_points)
    times = epochs[row // len(channels)] + 0.01 * (row % len(channels))  # the bands of one visit minutes apart
    channel = row % len(channels)
    flux = model.evaluate(p, model.points(times, channel))
    if flux is None:
        raise ValueError(f"the model fails for these parameters: {p}")

    names, values, errors, units, limits = [], [], [], [], []
    for i in range(n_points):
        c = channels[channel[i]]
        f = float(flux[i])
        if c == "xrt":
            floor, unit = _XRAY_SIGMA, "erg/s/cm2"
        else:
            depth = _DEPTH.get(c.split("_")[0], 21.0)
            floor, unit = 3631e6 * 10 ** (-0.4 * depth) / 5.0, ("mag" if c.startswith("ztf") else "uJy")
        sigma = math.hypot(relative_error * f, floor)
        # f_sys: scatter the errors do not report (the systematic floor the fit estimates)
        observed = f + math.hypot(sigma, p["f_sys"] * f) * rng.standard_normal()
        limit = observed < 3.0 * floor
        if unit == "mag":
            if limit:
                value, error = -2.5 * math.log10(3.0 * floor / 3631e6), math.nan
            else:
                value, error = -2.5 * math.log10(observed / 3631e6), 2.5 / math.log(10.0) * sigma / observed
        else:
            value, error = (3.0 * floor, math.nan) if limit else (observed, sigma)
        names.append(c)
        values.append(value)
        errors.append(error)
        units.append(unit)
        limits.append(limit)
    phot = Photometry(times, names, values, errors, units, limits, None, source="synthetic")
    return phot, p
