"""The emission model: multi-colour disk spectra and their bolometric integral.

A steady, geometrically thin, optically thick disk between ``R_in`` and
``R_out`` with zero torque at ``R_in``, fed at ``Mdot``::

    T(r)^4  = 3 G M_BH Mdot / (8 pi sigma_SB r^3) (1 - sqrt(R_in / r))
    I_nu(r) = B_nu(f_c T) / f_c^4
    L_nu    = 4 pi^2 * integral_{R_in}^{R_out} I_nu(r) r dr        (both faces)

Eddington-limited emission caps the flux per face at L_Edd / (4 pi r^2)
(spherization: inside R_sph = 3 G M_BH Mdot / (2 L_Edd) the disk loses mass in
a wind); sub-Eddington input is unaffected.  The radial integral runs natively
(``velquor.observe._spectrum``), without the interpreter lock.
"""

from __future__ import annotations

import math
import numbers
from typing import Any

import numpy as np

from velquor.dynamics.accretion.one_zone.closure import G_CGS, K_B_CGS, KAPPA_ES, SIGMA_SB_CGS
from velquor.tde import C_CGS, MAX_RESULT_BYTES

__all__ = [
    "H_PLANCK_CGS",
    "KEV_CGS",
    "JANSKY_CGS",
    "ANGSTROM_CGS",
    "disk_spectrum",
    "disk_luminosity",
    "eddington_luminosity",
    "colour_correction",
]

#: Planck constant [erg s] (exact, SI 2019).
H_PLANCK_CGS = 6.62607015e-27
#: One kiloelectronvolt [erg] (exact, SI 2019).
KEV_CGS = 1.602176634e-9
#: One jansky [erg s^-1 cm^-2 Hz^-1].
JANSKY_CGS = 1e-23
#: One angstrom [cm].
ANGSTROM_CGS = 1e-8

# Constants of the native kernel, in the order of its Constants record.
_NATIVE_CONSTANTS = np.array(
    [
        3.0 * G_CGS / (8.0 * math.pi * SIGMA_SB_CGS),  # T*^4 R_in^3 / (M_BH Mdot)
        G_CGS * C_CGS / (KAPPA_ES * SIGMA_SB_CGS),  # Tc^4 R_in^2 / M_BH (flux cap L_Edd / (4 pi r^2))
        H_PLANCK_CGS / K_B_CGS,
        2.0 * H_PLANCK_CGS / C_CGS**2,
        72.0 * KEV_CGS / K_B_CGS,  # Done et al. (2012)
    ]
)

# ---------------------------------------------------------------------------
# Argument checks shared by the module
# ---------------------------------------------------------------------------


def _scalar(name: str, value: Any, *, low: float = 0.0, inclusive: bool = False, unit: str = "") -> float:
    """A finite real > low (>= low when inclusive), else ValueError/TypeError naming it."""
    if type(value) is not float and (
        isinstance(value, (bool, np.bool_)) or not isinstance(value, (numbers.Real, np.floating, np.integer))
    ):
        raise TypeError(f"{name} must be a real number, got {value!r}")
    x = float(value)
    ok = math.isfinite(x) and (x >= low if inclusive else x > low)
    if not ok:
        raise ValueError(f"{name} must be finite and {'>=' if inclusive else '>'} {low:g}{unit}, got {x!r}")
    return x


def _array(name: str, value: Any, *, low: float = 0.0, unit: str = "", ndim: tuple[int, ...] = (1,)) -> np.ndarray:
    """A new float64 array of finite values > low, else ValueError naming the first bad one."""
    if value is None or isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be an array of real numbers, got {value!r}")
    try:
        arr = np.array(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be an array of real numbers, got {value!r}") from None
    if arr.ndim not in ndim:
        raise ValueError(f"{name} must have {' or '.join(map(str, ndim))} dimension(s), got shape {arr.shape}")
    bad = ~(np.isfinite(arr) & (arr > low))
    if bad.any():
        first = arr[bad].flat[0]
        raise ValueError(f"{name} must be finite and > {low:g}{unit}, got {float(first)!r}")
    return arr


def _colour(f_col: Any) -> tuple[float, bool]:
    """(constant f, done12?) from a float >= 1 or "done12"."""
    if isinstance(f_col, str):
        if f_col.lower() == "done12":
            return 1.0, True
        raise ValueError(f"f_col must be a number >= 1 or 'done12', got {f_col!r}")
    return _scalar("f_col", f_col, low=1.0, inclusive=True), False


def _inclination_factor(inclination: Any) -> float:
    """2 cos(i) for an inclination in degrees, 1 for None (angle-averaged L_nu)."""
    if inclination is None:
        return 1.0
    i = _scalar("inclination", inclination, low=0.0, inclusive=True, unit=" degrees")
    if i > 90.0:
        raise ValueError(f"inclination must be in [0, 90] degrees, got {i!r}")
    return 2.0 * math.cos(math.radians(i))


def _rates_and_radii(Mdot: Any, R_out: Any, R_in: float) -> tuple[np.ndarray, np.ndarray, bool]:
    """Mdot and R_out as equal-length 1-D arrays; True when both were scalars."""
    mdot = _array("Mdot", Mdot, unit=" g/s", ndim=(0, 1))
    r_out = _array("R_out", R_out, unit=" cm", ndim=(0, 1))
    scalar = mdot.ndim == 0 and r_out.ndim == 0
    mdot, r_out = np.atleast_1d(mdot), np.atleast_1d(r_out)
    if mdot.size != r_out.size and mdot.size != 1 and r_out.size != 1:
        raise ValueError(f"Mdot and R_out must have one length, got {mdot.size} and {r_out.size}")
    mdot, r_out = (np.array(a) for a in np.broadcast_arrays(mdot, r_out))
    bad = ~(r_out > R_in)
    if bad.any():
        raise ValueError(f"R_out must be > R_in = {R_in!r} cm, got {float(r_out[bad][0])!r}")
    if (r_out > 1e12 * R_in).any():
        raise ValueError(f"R_out must be at most 1e12 R_in, got {float(r_out.max())!r} cm")
    return mdot, r_out, scalar


# ---------------------------------------------------------------------------
# Public functions
# ---------------------------------------------------------------------------


def colour_correction(T: Any, f_col: float | str = "done12") -> np.ndarray:
    """Colour-correction factor f_c at effective temperatures ``T`` [K].

    Parameters
    ----------
    T : array_like
        Effective temperatures [K], > 0.
    f_col : float or "done12"
        A constant >= 1, or the rule of Done et al. (2012, MNRAS 420, 1848):
        1 below 3e4 K, (T / 3e4 K)^0.82 up to 1e5 K, (72 keV / k_B T)^(1/9) above.

    Returns
    -------
    numpy.ndarray
        f_c, the shape of ``T``.
    """
    t = _array("T", T, unit=" K", ndim=(0, 1, 2))
    f, done = _colour(f_col)
    if not done:
        return np.full(t.shape, f)
    t_done = _NATIVE_CONSTANTS[4]
    return np.where(t < 3e4, 1.0, np.where(t <= 1e5, (t / 3e4) ** 0.82, (t_done / t) ** (1.0 / 9.0)))


def eddington_luminosity(M_BH: float) -> float:
    """Eddington luminosity 4 pi G M_BH c / kappa_es [erg/s] (kappa_es = 0.34 cm^2/g) of a mass [g]."""
    return 4.0 * math.pi * G_CGS * _scalar("M_BH", M_BH, unit=" g") * C_CGS / KAPPA_ES


def disk_spectrum(
    nu: Any,
    Mdot: Any,
    M_BH: float,
    R_in: float,
    R_out: Any,
    *,
    f_col: float | str = 1.0,
    inclination: float | None = None,
    eddington_limited: bool = True,
) -> np.ndarray:
    """Spectral luminosity L_nu [erg s^-1 Hz^-1] of a steady thin disk.

    Parameters
    ----------
    nu : array_like, 1-D
        Rest-frame frequencies [Hz], finite and > 0, in any order.
    Mdot : float or array_like, 1-D
        Accretion rate [g/s].
    M_BH : float
        Black-hole mass [g].
    R_in : float
        Inner edge (zero torque) [cm].
    R_out : float or array_like, 1-D
        Outer edge [cm], > R_in (at most 1e12 R_in).  Scalars or arrays of the
        length of ``Mdot``.
    f_col : float or "done12", optional
        Colour correction: a constant >= 1 (default 1) or the temperature-
        dependent rule of Done et al. (2012).
    inclination : float, optional
        Viewing angle [degrees, 0 = face-on]: returns the isotropic-equivalent
        2 cos(i) L_nu.  Without it, the angle-integrated L_nu of both faces.
    eddington_limited : bool, optional
        Cap the flux per face at L_Edd / (4 pi r^2) (kappa_es = 0.34), which
        limits the luminosity to about L_Edd (1 + ln(R_sph / R_in)) above the
        Eddington rate; default True.  Sub-Eddington disks are unaffected.

    Returns
    -------
    numpy.ndarray
        Shape ``(len(nu),)`` for scalar ``Mdot`` and ``R_out``, else
        ``(n, len(nu))``.

    Raises
    ------
    ValueError
        A non-finite or non-positive frequency, rate, mass or radius,
        ``R_out <= R_in``, a bad ``f_col`` or an inclination outside [0, 90];
        the message names the argument and the value.  A result larger than
        :data:`velquor.tde.MAX_RESULT_BYTES` is refused before it is allocated.

    Notes
    -----
    The integral over frequency equals, for any colour correction,
    ``3 G M_BH Mdot / (2 R_in) (1/3 - x + 2/3 x^1.5)`` with ``x = R_in / R_out``
    without the cap (see :func:`disk_luminosity`).  Between the Wien cut-off of
    the inner edge and the Rayleigh-Jeans turn-over of the outer edge
    ``nu L_nu`` grows as ``nu^(4/3)``; far below, ``L_nu`` grows as ``nu^2``.
    """
    from velquor.observe import _spectrum

    freq = _array("nu", nu, unit=" Hz")
    m_bh = _scalar("M_BH", M_BH, unit=" g")
    r_in = _scalar("R_in", R_in, unit=" cm")
    f, done = _colour(f_col)
    factor = _inclination_factor(inclination)
    mdot, r_out, scalar = _rates_and_radii(Mdot, R_out, r_in)
    if mdot.size * freq.size * 8 > MAX_RESULT_BYTES:
        raise ValueError(f"a spectrum of {mdot.size} disk states x {freq.size} frequencies needs "
                         f"{mdot.size * freq.size * 8 / 2**30:.3g} GiB, more than the limit of "
                         f"MAX_RESULT_BYTES = {MAX_RESULT_BYTES / 2**30:.3g} GiB: evaluate it in parts")  # fmt: skip
    out = np.empty((mdot.size, freq.size))
    _spectrum.spectrum(freq, mdot, r_out, m_bh, r_in, f, done, bool(eddington_limited), _NATIVE_CONSTANTS, out)
    if factor != 1.0:
        out *= factor
    return out[0] if scalar else out


def disk_luminosity(
    Mdot: Any, M_BH: float, R_in: float, R_out: Any, *, eddington_limited: bool = True
) -> np.ndarray | float:
    """Bolometric luminosity [erg/s] of the disk of :func:`disk_spectrum` (both faces).

    The closed form of the integral of ``disk_spectrum`` over frequency (the
    colour correction moves power between frequencies, never changes it)::

        L = 3 G M_BH Mdot / (2 R_in) (1/3 - x + 2/3 x^1.5),   x = R_in / R_out,

    which tends to ``G M_BH Mdot / (2 R_in)`` for ``R_out -> infinity`` (1/12 of
    ``Mdot c^2`` for ``R_in = 6 G M_BH / c^2``).  With the Eddington cap the
    capped annulus [r_a, r_b] radiates ``L_Edd ln(r_b / r_a)`` instead, and the
    total tends to ``L_Edd (1 + ln(R_sph / R_in))`` well above Eddington.

    Parameters
    ----------
    Mdot, M_BH, R_in, R_out, eddington_limited
        As for :func:`disk_spectrum`.

    Returns
    -------
    float or numpy.ndarray
        A float for scalar ``Mdot`` and ``R_out``, else an array.
    """
    m_bh = _scalar("M_BH", M_BH, unit=" g")
    r_in = _scalar("R_in", R_in, unit=" cm")
    mdot, r_out, scalar = _rates_and_radii(Mdot, R_out, r_in)
    scale = 1.5 * G_CGS * m_bh * mdot / r_in  # 3 G M Mdot / (2 R_in)

    def thin(r: np.ndarray) -> np.ndarray:  # luminosity of the thin disk outside r (R_in units) to infinity
        return scale * (1.0 / r - (2.0 / 3.0) * r**-1.5)

    R = r_out / r_in
    lum = thin(np.ones_like(R)) - thin(R)
    if eddington_limited:
        l_edd = eddington_luminosity(m_bh)
        eps = l_edd / scale  # R_in / R_sph
        capped = eps < 4.0 / 27.0
        if capped.any():
            phi = np.arccos(1.0 - 13.5 * eps[capped])
            r_a = (1.0 / 3.0 + 2.0 / 3.0 * np.cos(phi / 3.0)) ** -2
            r_b = (1.0 / 3.0 + 2.0 / 3.0 * np.cos(phi / 3.0 - 2.0 * math.pi / 3.0)) ** -2
            Rc, sc = R[capped], scale[capped]
            a, b = np.minimum(r_a, Rc), np.minimum(r_b, Rc)

            def thin_c(r: np.ndarray) -> np.ndarray:
                return sc * (1.0 / r - (2.0 / 3.0) * r**-1.5)

            lum[capped] = (thin_c(np.ones_like(a)) - thin_c(a)) + l_edd * np.log(b / a) + (thin_c(b) - thin_c(Rc))
    return float(lum[0]) if scalar else lum
