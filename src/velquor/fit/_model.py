"""The light-curve model of a fit: the one place where parameters become fluxes.

A :class:`LightCurveModel` is built once per fit (the redshift, distance,
bands, dust and absorption are fixed) and then evaluated for parameter
dictionaries:

1. the disk of :class:`velquor.tde.TDEDisk` is run only to the data's last
   epoch and returned only at the data's epochs (the adaptive integrator's
   dense output);
2. its accretion rate and radius at those epochs go through one native call of
   a :class:`velquor.observe.Photometer` (built once, tables per band);
3. the optional early blackbody is added;
4. every point comes out in its flux unit (uJy, erg/s or erg/s/cm2).

Before the disk exists (rest-frame time since disruption below the fallback
time t_fb, where a run starts) the disk contributes nothing: the flux is zero
(or the blackbody's alone).  That is what the model says; a detection there
is then explained by the blackbody or not at all.
"""

from __future__ import annotations

import functools
import math
from typing import Any, NamedTuple, Sequence

import numpy as np

from velquor.dynamics.accretion.one_zone.closure import K_B_CGS, SIGMA_SB_CGS
from velquor.tde import C_CGS, DAY, TDEDisk

__all__ = ["LightCurveModel", "Points", "DISK_PARAMETERS"]

#: Parameters passed to :class:`velquor.tde.TDEDisk` under the same names.
DISK_PARAMETERS = ("M_BH", "M_star", "beta", "spin", "alpha")


class Points(NamedTuple):
    """Epochs and channels of a set of points, prepared once for repeated evaluation."""

    #: Distinct observed times [MJD], ascending.
    times: np.ndarray
    #: Index into ``times`` of each point.
    which: np.ndarray
    #: Photometer channel index of each point.
    channel: np.ndarray
    #: Factor from the photometer's unit to the point's flux unit (1e29 for uJy).
    scale: np.ndarray


@functools.lru_cache(maxsize=8)
def _photometer(channels: tuple[str, ...], z: float, d_L: float, options: tuple[tuple[str, Any], ...]) -> Any:
    """One Photometer per (channels, distance, options) in a process: building its tables takes ~0.5 s."""
    from velquor.observe import Photometer

    return Photometer(list(channels), z=z, d_L=d_L, **dict(options))


class LightCurveModel:
    """Model fluxes of a disk (and an early blackbody) at (time, channel) points.

    Parameters
    ----------
    channels : sequence of str
        Photometer channels (``"ztf_g"``, ``"nuLnu:ztf_g"``, ``"xrt"``, ``"Lx"``).
    z : float
        Redshift (>= 0).
    d_L : float
        Luminosity distance [cm].
    closure, opacity : str
        Thermal model and opacity of the disk (passed to :class:`TDEDisk`).
    disk_options : dict, optional
        Further fixed :class:`TDEDisk` keywords (``mu``, ``beta_fb``,
        ``seed_mass``, ``rtol``, ...).
    f_col_rule : {None, "done12"}
        "done12": the Done et al. (2012) colour correction instead of the
        ``f_col`` parameter.
    ebv_mw : float
        Milky Way E(B-V) [mag].
    N_H : float
        Absorbing column of the X-ray band [cm^-2].
    ebv_host : float or None
        A fixed host E(B-V) [mag]; None when it is a parameter, then tabulated up
        to ``ebv_host_max``.
    ebv_host_max : float
        Largest host E(B-V) a call may give.
    blackbody : bool
        Add the early blackbody component.
    eddington_limited : bool
        Cap the disk's emission at the Eddington flux (velquor.observe).
    """

    def __init__(
        self,
        channels: Sequence[str],
        *,
        z: float,
        d_L: float,
        closure: str = "gas",
        opacity: Any = "es",
        disk_options: dict[str, Any] | None = None,
        f_col_rule: str | None = None,
        ebv_mw: float = 0.0,
        N_H: float = 0.0,
        ebv_host: float | None = 0.0,
        ebv_host_max: float = 0.0,
        blackbody: bool = False,
        eddington_limited: bool = True,
    ) -> None:
        self.channels = tuple(channels)
        self.z = float(z)
        self.d_L = float(d_L)
        self.f_col_rule = f_col_rule
        self.blackbody = bool(blackbody)
        self.ebv_host_fixed = ebv_host
        options: dict[str, Any] = {"f_col": "done12" if f_col_rule == "done12" else 1.0, "ebv_mw": float(ebv_mw),
                                   "N_H": float(N_H), "eddington_limited": bool(eddington_limited)}  # fmt: skip
        if ebv_host is None:
            options["ebv_host_max"] = float(ebv_host_max)
        else:
            options["ebv_host"] = float(ebv_host)
        self.photometer_options = options
        self.photometer = _photometer(self.channels, self.z, self.d_L, tuple(sorted(options.items())))
        self.scale = np.array([1e29 if ":" not in c and c not in ("xrt", "Lx") else 1.0 for c in self.channels])
        # A reference model checks the disk options once and builds the opacity
        # every run shares (tables are not rebuilt per evaluation).
        self.disk_options = dict(disk_options or {})
        reference = TDEDisk(closure=closure, opacity=opacity, **self.disk_options)
        self.closure = closure
        self.opacity_name = reference.opacity_name
        self._opacity = reference.opacity
        self._bb = _BlackbodyPhotometry(self.channels, self.z, self.d_L, ebv_mw, N_H) if blackbody else None

    def points(self, times_mjd: Any, channel: Any) -> Points:
        """Prepare points: observed times [MJD] and channel indices (or names)."""
        t = np.asarray(times_mjd, dtype=np.float64).reshape(-1)
        ch = np.asarray(channel).reshape(-1)
        if ch.dtype.kind not in "iu":
            index = {c: k for k, c in enumerate(self.channels)}
            ch = np.array([index[str(c)] for c in ch], dtype=np.int64)
        times, which = np.unique(t, return_inverse=True)
        return Points(times, which.reshape(-1), ch.astype(np.int64), self.scale[ch])

    # -- the disk --------------------------------------------------------------

    def disk(self, p: dict[str, Any]) -> Any:
        """The :class:`TDEDisk` of parameters ``p`` (raises ValueError for an invalid one)."""
        kw = {k: p[k] for k in DISK_PARAMETERS}
        if kw["beta"] < 1.0:
            # A partial disruption keeps the fit's documented bound mass (half the
            # star) without a warning per evaluation (the fit warns once).
            kw["M_bound"] = 0.5 * kw["M_star"]
        return TDEDisk(**kw, closure=self.closure, opacity=self._opacity, **self.disk_options)

    def rest_times(self, p: dict[str, Any], times_mjd: np.ndarray) -> np.ndarray:
        """Rest-frame seconds since the disruption at observed times [MJD]."""
        return (times_mjd - p["t_disruption_mjd"]) * (DAY / (1.0 + self.z))

    # -- evaluation ----------------------------------------------------------------

    def evaluate(self, p: dict[str, Any], pts: Points) -> np.ndarray | None:
        """Model flux of every point in its flux unit, or None where the model fails.

        ``p`` holds every parameter by name (fixed ones included).  Failure:
        an invalid disruption (e.g. a direct capture), a thermal solve that
        finds no equilibrium, an emitting disk without positive accretion or
        with its outer edge inside its inner edge.
        """
        t_rest = self.rest_times(p, pts.times)
        out = np.zeros(pts.which.size)
        try:
            disk = self.disk(p)
        except ValueError:
            return None
        has = t_rest >= disk.t_fb
        if has.any():
            try:
                run = disk.run(t_eval=t_rest[has])
                mdot, r_out = run.disk_state(None, p["R_out_factor"])
            except (RuntimeError, ValueError):
                return None
            if not (np.all(np.isfinite(mdot)) and np.all(mdot > 0.0) and np.all(r_out > disk.R_in)):
                return None
            # Map the epochs with a disk back to the points.
            first = int(np.argmax(has))
            at = pts.which - first
            on = at >= 0
            kw: dict[str, Any] = {"M_BH": disk.M_BH_g, "R_in": disk.R_in, "inclination": p["inclination"]}
            if self.f_col_rule is None:
                kw["f_col"] = p["f_col"]
            if self.ebv_host_fixed is None:
                kw["ebv_host"] = p["ebv_host"]
            try:
                values = self.photometer(mdot[at[on]], r_out[at[on]], pts.channel[on], **kw)
            except ValueError:
                return None
            out[on] = values
        if self._bb is not None:
            ebv = p["ebv_host"] if self.ebv_host_fixed is None else self.ebv_host_fixed
            out += self._bb(p, t_rest[pts.which] / DAY, pts.channel, ebv)
        out *= pts.scale
        return out if np.all(np.isfinite(out)) else None


def _blackbody_lnu_shape(nu: np.ndarray, T: float) -> np.ndarray:
    """pi B_nu(T) / (sigma_SB T^4) [Hz^-1]: the spectrum of a blackbody of unit luminosity."""
    from velquor.observe import H_PLANCK_CGS

    x = (H_PLANCK_CGS / (K_B_CGS * T)) * nu
    b = (2.0 * H_PLANCK_CGS / C_CGS**2) * nu**3 / np.expm1(np.minimum(x, 700.0))
    b[x >= 700.0] = 0.0
    return math.pi * b / (SIGMA_SB_CGS * T**4)


def blackbody_luminosity(p: dict[str, Any], t_days: Any) -> np.ndarray:
    """Luminosity [erg/s] of the early blackbody at rest-frame days since the disruption.

    A Gaussian rise to the peak ``bb_L_peak`` at ``bb_t_peak_days`` (width
    ``bb_sigma_days``), then ``((t - t_peak + tau) / tau)**-p``; nothing before
    the disruption.
    """
    t = np.asarray(t_days, dtype=np.float64)
    tp, sig, tau, index = p["bb_t_peak_days"], p["bb_sigma_days"], p["bb_tau_days"], p["bb_p"]
    rise = np.exp(-0.5 * ((np.minimum(t, tp) - tp) / sig) ** 2)
    decay = ((np.maximum(t, tp) - tp + tau) / tau) ** (-index)
    lum = p["bb_L_peak"] * np.where(t < tp, rise, decay)
    return np.where(t >= 0.0, lum, 0.0)


class _BlackbodyPhotometry:
    """The early blackbody seen through the channels of a fit.

    Per channel, the nodes and weights of its band average (the bandpass's own
    photon weights from velquor.observe, with Milky Way dust; host dust per call)
    or of the X-ray band integral; a call costs one Planck function per node.
    """

    def __init__(self, channels: Sequence[str], z: float, d_L: float, ebv_mw: float, N_H: float) -> None:
        from velquor.observe import H_PLANCK_CGS, KEV_CGS, bandpass, dust_extinction, xray_cross_section

        kev_hz = KEV_CGS / H_PLANCK_CGS

        zp1 = 1.0 + z
        self._nodes: list[tuple[np.ndarray, np.ndarray, np.ndarray | None, float]] = []
        for c in channels:
            if c in ("xrt", "Lx"):
                # 0.3-10 keV, observed (xrt) or rest frame (Lx); Gauss-Legendre in ln E.
                x, w = np.polynomial.legendre.leggauss(48)
                a, b = math.log(0.3), math.log(10.0)
                energy = np.exp(0.5 * (b - a) * x + 0.5 * (a + b))
                weight = 0.5 * (b - a) * w * energy * kev_hz  # d nu
                if c == "xrt":
                    if N_H > 0:
                        weight = weight * np.exp(-N_H * xray_cross_section(energy))
                    self._nodes.append((energy * kev_hz * zp1, weight, None, zp1 / (4.0 * math.pi * d_L**2)))
                else:
                    self._nodes.append((energy * kev_hz, weight, None, 1.0))
                continue
            name = c.split(":", 1)[-1]
            bp = bandpass(name)
            if c.startswith("nuLnu:"):
                nu = np.array([bp.pivot_frequency])
                self._nodes.append((nu, nu.copy(), None, 1.0))
                continue
            nu_o, q = bp.photon_weights()
            keep = q > 0
            nu_o, q = nu_o[keep], q[keep]
            lam_o = C_CGS / nu_o * 1e8
            if ebv_mw > 0:
                q = q * 10.0 ** (-0.4 * dust_extinction(lam_o, ebv_mw))
            k_host = dust_extinction(lam_o / zp1, 1.0)
            self._nodes.append((nu_o * zp1, q, k_host, zp1 / (4.0 * math.pi * d_L**2)))

    def __call__(self, p: dict[str, Any], t_days: np.ndarray, channel: np.ndarray, ebv: float) -> np.ndarray:
        per_channel = np.empty(len(self._nodes))
        for k, (nu, w, k_host, factor) in enumerate(self._nodes):
            shape = _blackbody_lnu_shape(nu, p["bb_T"])
            if k_host is not None and ebv > 0:
                w = w * 10.0 ** (-0.4 * ebv * k_host)
            per_channel[k] = factor * float(np.dot(w, shape))
        return blackbody_luminosity(p, t_days) * per_channel[channel]

