"""Priors and the one table of fit parameters.

Every parameter a fit knows is declared once, in :data:`PARAMETERS`: its name
(the name used everywhere: ``params`` dictionaries, ``fixed=``, ``priors=``,
columns of the posterior table, ``--fix``), unit, default prior, whether it is
free by default and the value it takes when fixed.

A prior knows its density in the parameter's own units and the coordinate the
sampler moves in: log10 of the value for a :class:`LogUniform` prior (so that
walkers take steps in dex), the value itself otherwise.
"""

from __future__ import annotations

import math
from typing import Any, NamedTuple

import numpy as np

__all__ = [
    "Prior",
    "Uniform",
    "LogUniform",
    "Normal",
    "Sine",
    "Parameter",
    "PARAMETERS",
    "parameter_names",
    "prior_from_dict",
]


def _finite(name: str, value: Any) -> float:
    try:
        x = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a real number, got {value!r}") from None
    if isinstance(value, bool) or not math.isfinite(x):
        raise ValueError(f"{name} must be a finite real number, got {value!r}")
    return x


class Prior:
    """Base class of the priors: a density on an interval [lo, hi].

    Subclasses define :meth:`log_density`, :meth:`ppf` (the quantile function,
    which nested sampling uses as its prior transform) and may move the sampler
    in another coordinate (:meth:`to_sampler`, :meth:`from_sampler`,
    :meth:`log_density_sampler`).
    """

    lo: float
    hi: float
    #: Name of the sampler coordinate: "{name}" or "log10_{name}".
    coordinate = "{name}"

    def _bounds(self, lo: Any, hi: Any) -> None:
        self.lo, self.hi = _finite("lo", lo), _finite("hi", hi)
        if not self.lo < self.hi:
            raise ValueError(f"{type(self).__name__} needs lo < hi, got lo={self.lo!r}, hi={self.hi!r}")

    def log_density(self, x: float) -> float:
        """Natural log of the prior density at ``x`` (in the parameter's units); -inf outside."""
        raise NotImplementedError

    def ppf(self, q: Any) -> Any:
        """The value below which the prior holds the fraction ``q`` in [0, 1] (array or float)."""
        raise NotImplementedError

    def to_sampler(self, x: Any) -> Any:
        """The sampler's coordinate of a value."""
        return x

    def from_sampler(self, u: Any) -> Any:
        """The value at a sampler coordinate."""
        return u

    def log_density_sampler(self, u: float) -> float:
        """Log density in the sampler's coordinate (the Jacobian included)."""
        return self.log_density(u)

    def sample(self, rng: np.random.Generator, size: int) -> np.ndarray:
        """``size`` independent draws (parameter units)."""
        return np.asarray(self.ppf(rng.uniform(0.0, 1.0, size)), dtype=np.float64)

    def with_bounds(self, lo: float, hi: float) -> Prior:
        """A prior of the same kind on [lo, hi]."""
        return type(self)(lo, hi)  # type: ignore[call-arg]

    def to_dict(self) -> dict[str, Any]:
        """``{"kind": class name, "args": [...]}``: :func:`prior_from_dict` reads it back."""
        return {"kind": type(self).__name__, "args": [self.lo, self.hi]}

    def __repr__(self) -> str:
        return f"{type(self).__name__}({', '.join(f'{a:.8g}' for a in self.to_dict()['args'])})"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Prior) and self.to_dict() == other.to_dict()

    def __hash__(self) -> int:
        return hash(repr(self))


class Uniform(Prior):
    """Flat density on [lo, hi]."""

    def __init__(self, lo: float, hi: float) -> None:
        self._bounds(lo, hi)
        self._log_norm = -math.log(self.hi - self.lo)

    def log_density(self, x: float) -> float:
        return self._log_norm if self.lo <= x <= self.hi else -math.inf

    def ppf(self, q: Any) -> Any:
        return self.lo + (self.hi - self.lo) * np.asarray(q)


class LogUniform(Prior):
    """Density proportional to 1/x on [lo, hi] (0 < lo): flat in log10 x, where the sampler moves."""

    coordinate = "log10_{name}"

    def __init__(self, lo: float, hi: float) -> None:
        self._bounds(lo, hi)
        if not self.lo > 0.0:
            raise ValueError(f"LogUniform needs lo > 0, got lo={self.lo!r}")
        self._l0, self._l1 = math.log10(self.lo), math.log10(self.hi)
        self._log_norm = -math.log(math.log(self.hi / self.lo))

    def log_density(self, x: float) -> float:
        return self._log_norm - math.log(x) if self.lo <= x <= self.hi else -math.inf

    def ppf(self, q: Any) -> Any:
        return 10.0 ** (self._l0 + (self._l1 - self._l0) * np.asarray(q))

    def to_sampler(self, x: Any) -> Any:
        return np.log10(x)

    def from_sampler(self, u: Any) -> Any:
        return 10.0**u

    def log_density_sampler(self, u: float) -> float:
        return -math.log(self._l1 - self._l0) if self._l0 <= u <= self._l1 else -math.inf


class Normal(Prior):
    """Gaussian of mean ``mu`` and width ``sigma``, truncated to [lo, hi] (default: untruncated)."""

    def __init__(self, mu: float, sigma: float, lo: float = -math.inf, hi: float = math.inf) -> None:
        self.mu, self.sigma = _finite("mu", mu), _finite("sigma", sigma)
        if not self.sigma > 0.0:
            raise ValueError(f"Normal needs sigma > 0, got {self.sigma!r}")
        self.lo, self.hi = float(lo), float(hi)
        if math.isnan(self.lo) or math.isnan(self.hi) or not self.lo < self.hi:
            raise ValueError(f"Normal needs lo < hi, got lo={lo!r}, hi={hi!r}")
        self._c0, self._c1 = _std_cdf((self.lo - self.mu) / self.sigma), _std_cdf((self.hi - self.mu) / self.sigma)
        if not self._c1 > self._c0:
            raise ValueError(f"Normal({self.mu:g}, {self.sigma:g}) holds no probability in [{self.lo:g}, {self.hi:g}]")
        self._log_norm = -math.log(self.sigma * math.sqrt(2.0 * math.pi) * (self._c1 - self._c0))

    def log_density(self, x: float) -> float:
        if not self.lo <= x <= self.hi:
            return -math.inf
        return self._log_norm - 0.5 * ((x - self.mu) / self.sigma) ** 2

    def ppf(self, q: Any) -> Any:
        from scipy.special import ndtri

        return self.mu + self.sigma * ndtri(self._c0 + (self._c1 - self._c0) * np.asarray(q))

    def with_bounds(self, lo: float, hi: float) -> Prior:
        return Normal(self.mu, self.sigma, lo, hi)

    def to_dict(self) -> dict[str, Any]:
        return {"kind": "Normal", "args": [self.mu, self.sigma, self.lo, self.hi]}


class Sine(Prior):
    """Density proportional to sin(x) for an angle x in degrees on [lo, hi] within [0, 180]:
    isotropic orientations (uniform in cos x, where the sampler moves)."""

    coordinate = "cos_{name}"

    def __init__(self, lo: float = 0.0, hi: float = 90.0) -> None:
        self._bounds(lo, hi)
        if self.lo < 0.0 or self.hi > 180.0:
            raise ValueError(f"Sine needs 0 <= lo < hi <= 180 degrees, got lo={self.lo!r}, hi={self.hi!r}")
        self._cos_lo, self._cos_hi = math.cos(math.radians(self.lo)), math.cos(math.radians(self.hi))
        self._log_norm = math.log(math.pi / 180.0) - math.log(self._cos_lo - self._cos_hi)

    def log_density(self, x: float) -> float:
        if not self.lo <= x <= self.hi:
            return -math.inf
        s = math.sin(math.radians(x))
        return self._log_norm + math.log(s) if s > 0.0 else -math.inf

    def ppf(self, q: Any) -> Any:
        c = self._cos_lo - (self._cos_lo - self._cos_hi) * np.asarray(q)
        return np.degrees(np.arccos(np.clip(c, -1.0, 1.0)))

    def to_sampler(self, x: Any) -> Any:
        return np.cos(np.radians(x))

    def from_sampler(self, u: Any) -> Any:
        return np.degrees(np.arccos(np.clip(u, -1.0, 1.0)))

    def log_density_sampler(self, u: float) -> float:
        return -math.log(self._cos_lo - self._cos_hi) if self._cos_hi <= u <= self._cos_lo else -math.inf


def _std_cdf(x: float) -> float:
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


_KINDS: dict[str, type[Prior]] = {"Uniform": Uniform, "LogUniform": LogUniform, "Normal": Normal, "Sine": Sine}


def prior_from_dict(d: dict[str, Any]) -> Prior:
    """The prior written by :meth:`Prior.to_dict`."""
    try:
        kind = _KINDS[d["kind"]]
        return kind(*d["args"])
    except (KeyError, TypeError) as exc:
        raise ValueError(f"not a prior description: {d!r}") from exc


class Parameter(NamedTuple):
    """One parameter of the fit model (see :data:`PARAMETERS`)."""

    #: Name used in every dictionary, table column and ``--fix`` option.
    name: str
    #: Unit of the value ("" for dimensionless).
    unit: str
    #: Axis label for figures (matplotlib mathtext).
    label: str
    #: Default prior; None for the disruption time, whose prior depends on the data.
    prior: Prior | None
    #: Free by default (else fixed at ``value``).
    free: bool
    #: Value when fixed.
    value: float
    #: Which part of the model it belongs to: "disk", "emission", "blackbody" or "noise".
    group: str
    #: One line of description.
    doc: str


#: Every parameter of the fit model, in the sampler's order.  The defaults are
#: those of the documentation (README, "Fitting a light curve"): log-uniform
#: masses; a disruption at most :data:`DISRUPTION_WINDOW_DAYS` observed days
#: before the first detection (and always before it); isotropic inclinations.
#: The blackbody parameters are used only with ``blackbody=True``.
PARAMETERS: tuple[Parameter, ...] = (
    Parameter("M_BH", "M_sun", r"$M_{\rm BH}$", LogUniform(1e5, 1e8), True, math.nan, "disk",
              "black-hole mass"),
    Parameter("M_star", "M_sun", r"$M_\star$", LogUniform(0.1, 10.0), True, 1.0, "disk",
              "mass of the disrupted star (radius from the main sequence)"),
    Parameter("beta", "", r"$\beta$", Uniform(1.0, 4.0), True, 1.0, "disk",
              "penetration factor R_t / R_p (>= 1: full disruptions)"),
    Parameter("alpha", "", r"$\alpha$", LogUniform(0.01, 1.0), True, 0.1, "disk",
              "viscosity parameter"),
    Parameter("spin", "", r"$a$", Uniform(-0.99, 0.99), False, 0.0, "disk",
              "black-hole spin (inner edge, direct capture)"),
    Parameter("t_disruption_mjd", "MJD", r"$t_{\rm d}$ [MJD]", None, True, math.nan, "disk",
              "time of the disruption (observed frame), before the first detection"),
    Parameter("inclination", "deg", r"$i$ [deg]", Sine(0.0, 85.0), True, 60.0, "emission",
              "viewing angle of the disk (0: face-on), isotropic prior"),
    Parameter("R_out_factor", "", r"$R_{\rm out}/R$", LogUniform(0.5, 5.0), False, 1.0, "emission",
              "outer edge of the emitting disk in units of the one-zone radius R"),
    Parameter("f_col", "", r"$f_{\rm col}$", Uniform(1.0, 3.0), False, 1.0, "emission",
              "colour correction (fixed: a number, or 'done12' for the Done et al. 2012 rule)"),
    Parameter("ebv_host", "mag", r"$E(B-V)_{\rm host}$", Uniform(0.0, 0.5), False, 0.0, "emission",
              "host-galaxy dust, rest frame, Fitzpatrick (1999), R_V = 3.1"),
    Parameter("f_sys", "", r"$f_{\rm sys}$", Uniform(0.0, 0.5), True, 0.1, "noise",
              "fractional systematic floor added to every error in quadrature"),
    Parameter("bb_L_peak", "erg/s", r"$L_{\rm bb}$", LogUniform(1e41, 1e46), True, math.nan, "blackbody",
              "peak luminosity of the early blackbody"),
    Parameter("bb_t_peak_days", "days", r"$t_{\rm bb}$ [d]", Uniform(0.0, 300.0), True, math.nan, "blackbody",
              "its peak, rest-frame days after the disruption"),
    Parameter("bb_sigma_days", "days", r"$\sigma_{\rm bb}$ [d]", LogUniform(1.0, 100.0), True, math.nan, "blackbody",
              "width of its Gaussian rise (rest frame)"),
    Parameter("bb_tau_days", "days", r"$\tau_{\rm bb}$ [d]", LogUniform(1.0, 500.0), True, math.nan, "blackbody",
              "time scale of its power-law decay (rest frame)"),
    Parameter("bb_p", "", r"$p_{\rm bb}$", Uniform(0.5, 4.0), True, 5.0 / 3.0, "blackbody",
              "index of its decay ((t - t_peak + tau) / tau)^-p"),
    Parameter("bb_T", "K", r"$T_{\rm bb}$ [K]", LogUniform(5e3, 1e5), True, math.nan, "blackbody",
              "its temperature"),
)  # fmt: skip

#: The default prior of the disruption time: uniform over this many observed
#: days before the first detection.
DISRUPTION_WINDOW_DAYS = 1000.0

_BY_NAME = {p.name: p for p in PARAMETERS}


def parameter_names(blackbody: bool = False) -> tuple[str, ...]:
    """Names of the parameters of the model, with or without the early blackbody."""
    return tuple(p.name for p in PARAMETERS if blackbody or p.group != "blackbody")


def lookup(name: str, blackbody: bool = True) -> Parameter:
    """The parameter of a name, or a ValueError listing the names and close matches."""
    p = _BY_NAME.get(name)
    if p is not None and (blackbody or p.group != "blackbody"):
        return p
    import difflib

    names = parameter_names(blackbody)
    lower = {n.lower(): n for n in names}
    close = [lower[c] for c in difflib.get_close_matches(str(name).lower(), list(lower), n=3)]
    hint = f" (did you mean {', '.join(map(repr, close))}?)" if close else ""
    extra = "" if blackbody or name not in _BY_NAME else " (a blackbody parameter: use blackbody=True)"
    raise ValueError(f"unknown parameter {name!r}{hint}{extra}; the parameters are {', '.join(names)}")
