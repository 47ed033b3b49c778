"""Bandpasses shipped with the package, synthetic photometry and AB magnitudes."""

from __future__ import annotations

import difflib
import functools
import json
import re
from importlib import resources
from typing import Any

import numpy as np

from velquor.observe._emission import ANGSTROM_CGS, JANSKY_CGS, _array
from velquor.tde import C_CGS

__all__ = [
    "Bandpass",
    "bandpass",
    "bandpass_names",
    "band_flux_density",
    "AB_ZERO_POINT",
    "ab_magnitude",
    "ab_flux_density",
]

#: Flux density of AB magnitude 0 [erg s^-1 cm^-2 Hz^-1] (3631 Jy).
AB_ZERO_POINT = 3631.0 * JANSKY_CGS

# Unambiguous extra names (matched after lower-casing and removing separators).
_ALIASES = {
    "uvw2": "uvot_uvw2", "uvm2": "uvot_uvm2", "uvw1": "uvot_uvw1",
    "w2": "uvot_uvw2", "m2": "uvot_uvm2", "w1": "uvot_uvw1",
    "uvotw2": "uvot_uvw2", "uvotm2": "uvot_uvm2", "uvotw1": "uvot_uvw1",
    "swiftuvw2": "uvot_uvw2", "swiftuvm2": "uvot_uvm2", "swiftuvw1": "uvot_uvw1",
    "swiftu": "uvot_u", "swiftb": "uvot_b", "swiftv": "uvot_v",
    "fuv": "galex_fuv", "nuv": "galex_nuv",
    "atlascyan": "atlas_c", "atlasorange": "atlas_o", "cyan": "atlas_c", "orange": "atlas_o",
    **{f"panstarrs{b}": f"ps1_{b}" for b in "grizy"},
    **{f"pan_starrs{b}": f"ps1_{b}" for b in "grizy"},
    **{f"ztf{b}": f"ztf_{b}" for b in "gri"},
}  # fmt: skip


def _squash(name: str) -> str:
    return re.sub(r"[\s_\-./:]+", "", name.lower())


class Bandpass:
    """A photon-counting transmission curve.

    Attributes
    ----------
    name : str
        Canonical name (``family_band``, lower case).
    wavelength : numpy.ndarray
        Wavelengths [Angstrom], ascending (read-only).
    throughput : numpy.ndarray
        Photon-counting transmission, maximum 1 (read-only).
    pivot_wavelength : float
        sqrt(int T lambda dlambda / int T / lambda dlambda) [Angstrom], with the
        curve linear between its samples.
    provenance : dict
        Source package, version, licence, file, the curve's reference and the
        pivot computed from the source curve (``pivot_source``).
    """

    __slots__ = ("name", "wavelength", "throughput", "pivot_wavelength", "provenance")

    def __init__(self, name: str, wavelength: Any, throughput: Any, provenance: dict[str, Any] | None = None) -> None:
        w = _array("wavelength", wavelength, unit=" Angstrom")
        t = np.array(throughput, dtype=np.float64)
        if t.shape != w.shape or w.size < 2 or not np.all(np.diff(w) > 0):
            raise ValueError(f"bandpass {name!r}: wavelength must ascend strictly and match throughput in length")
        if not np.all(np.isfinite(t)) or (t < 0).any() or not (t > 0).any():
            raise ValueError(f"bandpass {name!r}: throughput must be finite, >= 0 and positive somewhere")
        w.setflags(write=False)
        t.setflags(write=False)
        self.name = name
        self.wavelength = w
        self.throughput = t
        self.provenance = dict(provenance or {})
        w_fine, t_fine = self._fine()
        self.pivot_wavelength = float(
            np.sqrt(np.trapezoid(t_fine * w_fine, w_fine) / np.trapezoid(t_fine / w_fine, w_fine))
        )

    def _fine(self) -> tuple[np.ndarray, np.ndarray]:
        """The curve, linear between its samples, on steps of at most lambda / 500."""
        w0, t0 = self.wavelength, self.throughput
        n_sub = np.maximum(1, np.ceil(np.diff(w0) / (w0[:-1] / 500.0)).astype(int))
        frac = np.concatenate([np.arange(n) / n for n in n_sub])
        left = np.repeat(np.arange(w0.size - 1), n_sub)
        w = np.append(w0[left] + frac * (w0[left + 1] - w0[left]), w0[-1])
        return w, np.interp(w, w0, t0)

    @property
    def pivot_frequency(self) -> float:
        """c / pivot_wavelength [Hz]."""
        return C_CGS / (self.pivot_wavelength * ANGSTROM_CGS)

    def photon_weights(self) -> tuple[np.ndarray, np.ndarray]:
        """(frequency [Hz], weight): <F_nu> = sum(weight * F_nu(frequency)), sum(weight) = 1.

        The trapezoid rule for int F_nu T dlambda / lambda / int T dlambda / lambda
        with the curve interpolated linearly between its samples, on a grid
        that refines each interval of the curve to steps of at most lambda /
        500 (so that the rule is exact to ~1e-6 for smooth spectra however
        coarsely a curve is published).
        """
        w, t = self._fine()
        dw = np.diff(w)
        trap = np.zeros_like(w)
        trap[:-1] += 0.5 * dw
        trap[1:] += 0.5 * dw
        q = t / w * trap
        return C_CGS / (w * ANGSTROM_CGS), q / q.sum()

    def __repr__(self) -> str:
        return (
            f"<Bandpass {self.name}: {self.wavelength[0]:.0f}-{self.wavelength[-1]:.0f} A, "
            f"pivot {self.pivot_wavelength:.1f} A>"
        )


@functools.lru_cache(maxsize=1)
def _catalogue() -> tuple[dict[str, Any], dict[str, np.ndarray]]:
    data = resources.files("velquor.observe") / "data"
    meta = json.loads((data / "bandpasses.json").read_text())["curves"]
    with resources.as_file(data / "bandpasses.npz") as path, np.load(path) as z:
        arrays = {k: np.array(z[k], dtype=np.float64) for k in z.files}
    return meta, arrays


def bandpass_names() -> tuple[str, ...]:
    """Canonical names of the shipped bandpasses, in catalogue order."""
    return tuple(_catalogue()[0])


def _resolve(name: str) -> str:
    if not isinstance(name, str):
        raise TypeError(f"band must be a bandpass name (str), got {name!r}")
    names = bandpass_names()
    key = _squash(name)
    canonical = {_squash(n): n for n in names}
    if key in canonical:
        return canonical[key]
    if key in _ALIASES:
        return _ALIASES[key]
    close = difflib.get_close_matches(name.lower(), list(names) + [a for a in _ALIASES if len(a) > 3], n=5, cutoff=0.6)
    suggestions = dict.fromkeys(_ALIASES.get(c, c) for c in close)  # an alias and its band are one suggestion
    hint = f"; did you mean {', '.join(map(repr, suggestions))}?" if close else ""
    raise KeyError(f"unknown band {name!r}{hint} (known: {', '.join(names)})")


@functools.lru_cache(maxsize=None)
def bandpass(name: str) -> Bandpass:
    """The shipped bandpass ``name``.

    Parameters
    ----------
    name : str
        A canonical name (``ztf_g``, ``uvot_uvw1``, ``galex_nuv``, ``lsst_u``,
        ``sdss_r``, ``ps1_z``, ``bessell_v``, ``atlas_o``, ...; see
        :func:`bandpass_names`) or an unambiguous alias (``UVW1``, ``ZTF_g``,
        ``NUV``, ``ztfg``); case and separators do not matter.

    Returns
    -------
    Bandpass

    Raises
    ------
    KeyError
        An unknown name; the message lists the close matches.
    """
    canonical = _resolve(name)
    meta, arrays = _catalogue()
    return Bandpass(
        canonical, arrays[f"{canonical}.wavelength"], arrays[f"{canonical}.throughput"], dict(meta[canonical])
    )


def _as_bandpass(band: Bandpass | str) -> Bandpass:
    return band if isinstance(band, Bandpass) else bandpass(band)


def band_flux_density(band: Bandpass | str, nu: Any, f_nu: Any) -> np.ndarray | float:
    """Photon-weighted band average of a spectrum sampled at ``nu``.

    <F_nu> = int F_nu T dlambda / lambda / int T dlambda / lambda over the
    bandpass's own samples, with the spectrum interpolated linearly in
    (ln nu, ln F_nu) when it is positive and in (ln nu, F_nu) otherwise.

    Parameters
    ----------
    band : str or Bandpass
        The bandpass.
    nu : array_like, 1-D
        Frequencies [Hz], finite and > 0, in either order; they must cover the
        band.
    f_nu : array_like
        Spectrum at ``nu``, shape ``(len(nu),)`` or ``(..., len(nu))``; any unit.

    Returns
    -------
    float or numpy.ndarray
        The band average in the unit of ``f_nu``; shape ``f_nu.shape[:-1]``.

    Raises
    ------
    ValueError
        Bad frequencies, non-finite ``f_nu``, mismatched lengths, or a spectrum
        that does not cover the band.
    KeyError
        An unknown band name.
    """
    bp = _as_bandpass(band)
    freq = _array("nu", nu, unit=" Hz")
    f = np.array(f_nu, dtype=np.float64)
    if f.ndim < 1 or f.shape[-1] != freq.size:
        raise ValueError(f"f_nu must have len(nu) = {freq.size} values along its last axis, got shape {f.shape}")
    if not np.all(np.isfinite(f)):
        raise ValueError("f_nu must be finite")
    order = np.argsort(freq)
    x, f = np.log(freq[order]), f[..., order]
    if np.any(np.diff(x) == 0):
        raise ValueError("nu must not repeat a frequency")
    nu_b, q = bp.photon_weights()
    xb = np.log(nu_b)
    if xb.min() < x[0] or xb.max() > x[-1]:
        raise ValueError(
            f"the spectrum ({freq.min():.4g}-{freq.max():.4g} Hz) does not cover band {bp.name!r} "
            f"({nu_b.min():.4g}-{nu_b.max():.4g} Hz)"
        )
    flat = f.reshape(-1, f.shape[-1])
    out = np.empty(flat.shape[0])
    for k, row in enumerate(flat):
        if np.all(row > 0):
            out[k] = np.dot(q, np.exp(np.interp(xb, x, np.log(row))))
        else:
            out[k] = np.dot(q, np.interp(xb, x, row))
    res = out.reshape(f.shape[:-1])
    return float(res) if res.ndim == 0 else res


def ab_magnitude(f_nu: Any) -> np.ndarray | float:
    """AB magnitude -2.5 log10(F_nu / 3631 Jy) of flux densities [erg s^-1 cm^-2 Hz^-1] (inf for 0)."""
    f = np.asarray(f_nu, dtype=np.float64)
    if np.any(~np.isfinite(f) | (f < 0)):
        raise ValueError("f_nu must be finite and >= 0 for an AB magnitude")
    with np.errstate(divide="ignore"):
        m = -2.5 * np.log10(f / AB_ZERO_POINT)
    return float(m) if m.ndim == 0 else m


def ab_flux_density(mag: Any) -> np.ndarray | float:
    """Flux density [erg s^-1 cm^-2 Hz^-1] of AB magnitudes: 3631 Jy * 10^(-0.4 m)."""
    m = np.asarray(mag, dtype=np.float64)
    if np.any(np.isnan(m)):
        raise ValueError("mag must not be NaN")
    f = AB_ZERO_POINT * 10.0 ** (-0.4 * m)
    return float(f) if f.ndim == 0 else f
