"""One-zone disk of a tidal disruption event, in astronomers' units.

:class:`TDEDisk` turns the physical description of a disruption (black-hole and
stellar mass in solar masses, stellar radius in solar radii, penetration factor,
viscosity, thermal model, opacity, fallback) into the run parameters, closure and
initial disk of the native one-zone model, runs it and returns a :class:`DiskRun`,
a labelled view of the result with derived rates, luminosity, plotting and export.

Quick start::

    from velquor.tde import TDEDisk
    run = TDEDisk(M_BH=1e6).run()          # a Sun-like star, fallback on
    print(run)                             # steps, time span, peak accretion rate
    run.save_csv("disk.csv")
    run.plot().savefig("disk.png")

Geometry of the disruption (``M_BH``, ``M_star`` in M_sun; ``R_star`` in R_sun;
penetration factor ``beta = R_t / R_p``)::

    R_t    = R_star (M_BH / M_star)**(1/3)            tidal radius
    R_p    = R_t / beta                               pericentre
    R_c    = 2 R_p = 2 R_t / beta                     circularisation radius
    R_in   = 6 G M_BH / c**2                          inner edge (ISCO, no spin)
    dE     = G M_BH R_star / R_t**2                   spread in specific energy
    t_fb   = 2 pi G M_BH / (2 dE)**(3/2)              return time of the most bound debris
    M_fb_0 = (beta_fb - 1) M_star / (2 t_fb)          fallback rate at t_fb

The penetration factor enters only through the pericentre, hence ``R_c``: the
energy spread of the debris is set at the tidal radius and does not depend on
``beta`` (it is frozen in as the star crosses ``R_t``).  ``M_fb_0`` is chosen so
that the power law ``M_fb_0 (t / t_fb)**-beta_fb`` delivers, from ``t_fb`` on,
the bound half of the star in total; for the default ``beta_fb = 5/3`` it is
``M_star / (3 t_fb)``.

All times of a run are measured from the disruption.  Both kinds of run start at
``t_fb``: a fallback-fed run from a seed disk of ``seed_mass`` at ``R_c``
(the fallback rate diverges at t = 0), a run without fallback from half the
star's mass at ``R_c``.  The initial angular momentum is that of a ring at
``R_c``: ``J = DISK_XI M sqrt(G M_BH R_c)``.
"""

from __future__ import annotations

import functools
import json
import math
import numbers
import os
import warnings
from typing import Any

import numpy as np

from velquor.dynamics.accretion.one_zone import IntegrationError, Status
from velquor.dynamics.accretion.one_zone._writer import RESULT_FIELDS
from velquor.dynamics.accretion.one_zone.closure import DISK_F0, DISK_XI, G_CGS, KAPPA_ES

__all__ = [
    "TDEDisk",
    "DiskRun",
    "DEFAULT_INTEGRATOR",
    "INTEGRATORS",
    "CLOSURES",
    "OPACITIES",
    "GM_SUN",
    "M_SUN",
    "R_SUN",
    "C_CGS",
    "DAY",
    "YEAR",
    "RESULT_ROWS",
    "RESULT_UNITS",
    "available_integrators",
]

# ---------------------------------------------------------------------------
# Units and constants (CGS)
# ---------------------------------------------------------------------------

#: Nominal solar mass parameter G M_sun [cm^3 s^-2] (IAU 2015 Resolution B3).
GM_SUN = 1.3271244e26
#: Solar mass [g], consistent with the gravitational constant of the disk model.
M_SUN = GM_SUN / G_CGS
#: Nominal solar radius [cm] (IAU 2015 Resolution B3).
R_SUN = 6.957e10
#: Speed of light [cm s^-1].
C_CGS = 2.99792458e10
#: One day [s].
DAY = 86400.0
#: One Julian year [s].
YEAR = 365.25 * DAY

# ---------------------------------------------------------------------------
# Choices
# ---------------------------------------------------------------------------

#: Thermal models by name: the value is ``gas_pressure_only`` of the closure.
CLOSURES = {"gas": True, "gas+radiation": False}
#: Analytic opacity laws by name (a table is given with ``opal_table``).
OPACITIES = ("es", "kramers")
#: Time integrators by name.
INTEGRATORS = ("euler", "adaptive")

#: Integrator used when none is named (the one place to switch the default):
#: "adaptive" (error-controlled Dormand-Prince 5(4) steps with dense output;
#: relative error ~1e-7 on the reference run in ~2 ms) or "euler" (explicit
#: Euler steps of a fixed fraction ``epsilon`` of the shortest evolution time;
#: relative error ~3e-3 at epsilon = 1e-3, first order in epsilon).
DEFAULT_INTEGRATOR = "adaptive"

_ADAPTIVE_MODULE = "velquor.dynamics.accretion.one_zone.adaptive"

#: Names of the 20 rows of a result array, in row order (the writer's row table).
RESULT_ROWS = tuple(name for name, _, _ in RESULT_FIELDS)
#: CGS unit of each row ("" for dimensionless).
RESULT_UNITS = tuple(unit for _, unit, _ in RESULT_FIELDS)
_DERIVED_UNITS = {"Mdot_acc": "g s^-1", "Mdot_fb": "g s^-1", "L": "erg s^-1"}
_ROW = {name: k for k, name in enumerate(RESULT_ROWS)}


@functools.lru_cache(maxsize=None)
def available_integrators() -> tuple[str, ...]:
    """Names of the integrators this installation can run.

    Returns
    -------
    tuple of str
        ``"euler"`` always; ``"adaptive"`` when the adaptive integrator is built.
    """
    import importlib.util

    try:
        found = importlib.util.find_spec(_ADAPTIVE_MODULE) is not None
    except ImportError:
        found = False
    return ("euler", "adaptive") if found else ("euler",)


# ---------------------------------------------------------------------------
# Argument checks
# ---------------------------------------------------------------------------


def _real(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {value!r}")
    x = float(value)
    if not math.isfinite(x):
        raise ValueError(f"{name} must be finite, got {x!r}")
    return x


def _positive(name: str, value: Any, unit: str = "") -> float:
    x = _real(name, value)
    if x <= 0.0:
        raise ValueError(f"{name} must be > 0{unit}, got {x!r}")
    return x


def _open_interval(name: str, value: Any, lo: float, hi: float) -> float:
    x = _real(name, value)
    if not lo < x < hi:
        raise ValueError(f"{name} must be in ({lo:g}, {hi:g}), got {x!r}")
    return x


def _count(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {value!r}")
    n = int(value)
    if not 1 <= n <= 2**31 - 1:
        raise ValueError(f"{name} must be in [1, 2147483647], got {n}")
    return n


def _choice(name: str, value: Any, choices: Any) -> str:
    if not isinstance(value, str) or value not in choices:
        raise ValueError(f"unknown {name} {value!r}; choose one of {', '.join(repr(c) for c in choices)}")
    return value


def _grey_opacity_class() -> type:
    from velquor.radiation.opacity.murkwell import C_GreyMurkwell

    return C_GreyMurkwell


# ---------------------------------------------------------------------------
# The model
# ---------------------------------------------------------------------------


class TDEDisk:
    """One-zone accretion disk formed by the tidal disruption of a star.

    Parameters
    ----------
    M_BH : float, optional
        Black-hole mass [M_sun]; default 1e6.
    M_star : float, optional
        Mass of the disrupted star [M_sun]; default 1.
    R_star : float, optional
        Radius of the disrupted star [R_sun]; default 1.
    beta : float, optional
        Penetration factor R_t / R_p (>= 1 for a full disruption); default 1.
        It sets the circularisation radius R_c = 2 R_t / beta.
    alpha : float, optional
        Viscosity parameter, in (0, 1]; default 0.1.
    mu : float, optional
        Mean molecular weight of the gas; default 0.6.
    closure : {"gas", "gas+radiation"}, optional
        Thermal model: gas pressure only (default) or gas plus radiation
        pressure.  The latter has no thin-disk solution above a maximum surface
        density (about 0.02 M_sun at R_c for the reference disruption); use it
        for light disks or with table opacities.
    opacity : {"es", "kramers"} or opacity object, optional
        Electron scattering (default), Kramers plus electron scattering, or any
        grey opacity instance (a ``C_GreyMurkwell`` subclass).  An object is
        shared by every run of this model and must not be changed while one is
        in progress.
    fallback : bool, optional
        Feed the disk with the power-law fallback of the bound debris; default
        True.
    epsilon : float, optional
        Euler integrator only: step fraction in (0, 1) of the shortest
        evolution time; default 1e-3 (about 7000 steps for the defaults).
    t_end : float, optional
        End of the run [days after disruption]; default 365250 (1000 yr).
    max_steps : int, optional
        Step limit; default 200000.  Euler: the number of result columns, and a
        run that exhausts it before ``t_end`` is returned with a
        ``RuntimeWarning``.  Adaptive: the number of accepted steps (with
        ``n_out`` output times a run that needs more raises ``RuntimeError``).
    beta_fb : float, optional
        Power-law index of the fallback rate, > 1; default 5/3.
    seed_mass : float, optional
        Initial disk mass of a fallback-fed run [M_sun]; default 1e-3.
    eta : float, optional
        Radiative efficiency for the bolometric luminosity, in (0, 1]; default
        0.1.
    integrator : {"euler", "adaptive"}, optional
        Time integrator; default :data:`DEFAULT_INTEGRATOR` ("adaptive":
        error-controlled Dormand-Prince steps).
    rtol : float, optional
        Adaptive integrator only: relative error tolerance; default 1e-6.
    n_out : int, optional
        Adaptive integrator only: number of output times, spaced evenly in
        log t from the start to ``t_end`` (each with its own thermal solve);
        0 gives one column per accepted step instead.  Default 2000.
    opal_table : path-like, optional
        Read the opacity from this OPAL-format Rosseland-mean table (log10 T
        rows, log10 R columns) instead of an analytic law.  Queries outside the
        table take the nearest tabulated value.
    opal_table_number : int, optional
        Table number to read from a multi-table OPAL file.

    Raises
    ------
    ValueError
        A value out of range (naming the argument and the value), an unknown
        choice, a pericentre inside the innermost stable orbit, or an
        unreadable opacity table.
    TypeError
        A non-numeric value, or an opacity object that is not a grey opacity.

    Notes
    -----
    Derived quantities are available as attributes in CGS: ``R_t``, ``R_p``,
    ``R_c``, ``R_in`` [cm], ``t_fb`` [s], ``M_fb_0`` [g/s], ``M_BH_g``,
    ``M_star_g`` [g], ``t_start``, ``t_end_s`` [s].  :attr:`run_params` is the
    dictionary bound into the closure (natural logarithms of CGS values),
    :attr:`initial_state` the starting ``[M, J]`` and :attr:`params` the
    constructor arguments as a plain dictionary (``TDEDisk(**disk.params)``
    rebuilds the model; a sweep sends such dictionaries to its workers).

    A model object can be run any number of times, also from several threads at
    once: every run builds its own closure.
    """

    def __init__(
        self,
        M_BH: float = 1e6,
        M_star: float = 1.0,
        R_star: float = 1.0,
        beta: float = 1.0,
        *,
        alpha: float = 0.1,
        mu: float = 0.6,
        closure: str = "gas",
        opacity: Any = "es",
        fallback: bool = True,
        epsilon: float = 1e-3,
        t_end: float = 365250.0,
        max_steps: int = 200_000,
        beta_fb: float = 5.0 / 3.0,
        seed_mass: float = 1e-3,
        eta: float = 0.1,
        integrator: str | None = None,
        rtol: float = 1e-6,
        n_out: int = 2000,
        opal_table: str | os.PathLike[str] | None = None,
        opal_table_number: int | None = None,
    ) -> None:
        self.M_BH = _positive("M_BH", M_BH, " M_sun")
        self.M_star = _positive("M_star", M_star, " M_sun")
        self.R_star = _positive("R_star", R_star, " R_sun")
        self.beta = _positive("beta", beta)
        self.alpha = _real("alpha", alpha)
        if not 0.0 < self.alpha <= 1.0:
            raise ValueError(f"alpha must be in (0, 1], got {self.alpha!r}")
        self.mu = _positive("mu", mu)
        self.closure = _choice("closure", closure, CLOSURES)
        if not isinstance(fallback, (bool, np.bool_)):
            raise TypeError(f"fallback must be True or False, got {fallback!r}")
        self.fallback = bool(fallback)
        self.epsilon = _open_interval("epsilon", epsilon, 0.0, 1.0)
        self.t_end = _positive("t_end", t_end, " days")
        self.max_steps = _count("max_steps", max_steps)
        self.beta_fb = _real("beta_fb", beta_fb)
        if not self.beta_fb > 1.0:
            raise ValueError(f"beta_fb must be > 1 (a finite debris mass), got {self.beta_fb!r}")
        self.seed_mass = _positive("seed_mass", seed_mass, " M_sun")
        self.eta = _real("eta", eta)
        if not 0.0 < self.eta <= 1.0:
            raise ValueError(f"eta must be in (0, 1], got {self.eta!r}")
        self.integrator = _choice("integrator", DEFAULT_INTEGRATOR if integrator is None else integrator, INTEGRATORS)
        if self.integrator not in available_integrators():
            raise ValueError(f"integrator {self.integrator!r} is not available in this installation; use 'euler'")
        self.rtol = _open_interval("rtol", rtol, 0.0, 1.0)
        if isinstance(n_out, bool) or not isinstance(n_out, numbers.Integral) or n_out < 0 or n_out == 1:
            raise ValueError(f"n_out must be 0 or an integer >= 2, got {n_out!r}")
        self.n_out = int(n_out)

        # Geometry of the disruption [CGS].
        gm = self.M_BH * GM_SUN
        self.M_BH_g = self.M_BH * M_SUN
        self.M_star_g = self.M_star * M_SUN
        r_star = self.R_star * R_SUN
        self.R_t = r_star * (self.M_BH / self.M_star) ** (1.0 / 3.0)
        self.R_p = self.R_t / self.beta
        self.R_c = 2.0 * self.R_p
        self.R_in = 6.0 * gm / C_CGS**2
        if not self.R_c > self.R_in:
            raise ValueError(
                f"no disk forms: the circularisation radius R_c = {self.R_c:.4g} cm lies inside the "
                f"innermost stable orbit R_in = {self.R_in:.4g} cm (M_BH={self.M_BH:g}, M_star={self.M_star:g}, "
                f"R_star={self.R_star:g}, beta={self.beta:g})"
            )
        dE = gm * r_star / self.R_t**2
        self.t_fb = 2.0 * math.pi * gm / (2.0 * dE) ** 1.5
        self.M_fb_0 = (self.beta_fb - 1.0) * self.M_star_g / (2.0 * self.t_fb)
        self.t_start = self.t_fb
        self.t_end_s = self.t_end * DAY
        if not math.isfinite(self.t_end_s):
            raise ValueError(f"t_end must be finite in seconds, got {self.t_end!r} days")
        if not self.t_end_s > self.t_start:
            raise ValueError(
                f"t_end must be after the start of the run at t_fb = {self.t_fb / DAY:.6g} days, got {self.t_end!r} days"
            )
        if self.fallback and not self.seed_mass * M_SUN < 0.5 * self.M_star_g:
            raise ValueError(
                f"seed_mass must be below the bound half of the star ({0.5 * self.M_star:g} M_sun), "
                f"got {self.seed_mass!r} M_sun"
            )

        # Opacity: built once, shared read-only by every run.
        self._opal_table = None if opal_table is None else os.fspath(opal_table)
        self._opal_table_number = opal_table_number
        self._opacity_arg = opacity
        if self._opal_table is not None:
            if not (isinstance(opacity, str) and opacity == "es"):
                raise ValueError("give either opacity or opal_table, not both")
            self.opacity_name = "opal"
            self.opacity = self._read_opal(self._opal_table, opal_table_number)
        elif isinstance(opacity, str):
            self.opacity_name = _choice("opacity", opacity, OPACITIES)
            self.opacity = self._analytic_opacity(self.opacity_name)
        elif opacity is None:
            self.opacity_name = "es"
            self.opacity = self._analytic_opacity("es")
        else:
            if not isinstance(opacity, _grey_opacity_class()):
                raise TypeError(
                    f"opacity must be 'es', 'kramers' or a grey opacity object (C_GreyMurkwell), "
                    f"got {type(opacity).__name__}"
                )
            self.opacity_name = type(opacity).__name__
            self.opacity = opacity

    # -- opacity ------------------------------------------------------------

    @staticmethod
    def _analytic_opacity(name: str) -> Any:
        from velquor.radiation.opacity import ElectronScatteringOpacity, KramersOpacity

        return ElectronScatteringOpacity() if name == "es" else KramersOpacity()

    @staticmethod
    def _read_opal(path: str, number: int | None) -> Any:
        from velquor.radiation.opacity.grey_opacity.rosseland._quenby import C_QuenbyOpacity
        from velquor.radiation.opacity.tables import read_opal_table

        if number is not None:
            number = _count("opal_table_number", number)
        try:
            g1, g2, lk = read_opal_table(path, table=number)
        except OSError as exc:
            raise ValueError(f"cannot read opacity table {path!r}: {exc.strerror or exc}") from exc
        # Clamp mode: a disk that strays off the table takes the nearest entry
        # instead of failing its thermal solve.
        return C_QuenbyOpacity(g1, g2, lk, 1)

    # -- what is sent to the native model -------------------------------------

    @property
    def params(self) -> dict[str, Any]:
        """The constructor arguments as a plain dictionary."""
        d: dict[str, Any] = {
            "M_BH": self.M_BH, "M_star": self.M_star, "R_star": self.R_star, "beta": self.beta,
            "alpha": self.alpha, "mu": self.mu, "closure": self.closure, "opacity": self._opacity_arg,
            "fallback": self.fallback, "epsilon": self.epsilon, "t_end": self.t_end,
            "max_steps": self.max_steps, "beta_fb": self.beta_fb, "seed_mass": self.seed_mass,
            "eta": self.eta, "integrator": self.integrator, "rtol": self.rtol, "n_out": self.n_out,
        }  # fmt: skip
        if self._opal_table is not None:
            d["opal_table"] = self._opal_table
            d["opal_table_number"] = self._opal_table_number
        return d

    @property
    def run_params(self) -> dict[str, float]:
        """Run-parameter dictionary for ``bind_runtime_parameters`` (natural logs of CGS values)."""
        d = {"log_M_BH": math.log(self.M_BH_g), "log_R_in": math.log(self.R_in), "alpha": self.alpha}
        if self.fallback:
            d.update(
                log_M_fb_0=math.log(self.M_fb_0),
                log_R_c=math.log(self.R_c),
                log_t_fb=math.log(self.t_fb),
                beta_fb=self.beta_fb,
            )
        return d

    @property
    def initial_state(self) -> np.ndarray:
        """Initial ``[M, J]`` of the disk [g, g cm^2 s^-1] at :attr:`t_start`."""
        m = self.seed_mass * M_SUN if self.fallback else 0.5 * self.M_star_g
        j = DISK_XI * m * math.sqrt(G_CGS * self.M_BH_g * self.R_c)
        return np.array([m, j], dtype=np.float64)

    def make_closure(self) -> Any:
        """Build a new closure with this model's thermal model, opacity and run parameters.

        Returns
        -------
        FullPressureClosure
            Ready to pass to an integrator together with :attr:`initial_state`.
        """
        from velquor.dynamics.accretion.one_zone.models._hollin import FullPressureClosure

        closure = FullPressureClosure(
            gas_pressure_only=CLOSURES[self.closure], with_fallback=self.fallback, mu=self.mu
        )
        closure.opacity = self.opacity
        closure.bind_runtime_parameters(self.run_params)
        return closure

    # -- running ---------------------------------------------------------------

    def _integrator(self) -> Any:
        """``integrate(initial_state, closure) -> result array`` for the chosen integrator."""
        if self.integrator == "adaptive":
            try:
                from velquor.dynamics.accretion.one_zone.adaptive import run_one_zone_model_adaptive
            except ImportError as exc:
                raise ValueError("integrator 'adaptive' is not available in this installation; use 'euler'") from exc
            t_eval = np.geomspace(self.t_start, self.t_end_s, self.n_out) if self.n_out else None

            def integrate(state: np.ndarray, closure: Any) -> np.ndarray:
                return run_one_zone_model_adaptive(
                    state, self.t_start, self.t_end_s, closure, rtol=self.rtol, max_steps=self.max_steps, t_eval=t_eval
                )

        else:
            from velquor.dynamics.accretion.one_zone.integrator import run_one_zone_model

            def integrate(state: np.ndarray, closure: Any) -> np.ndarray:
                return run_one_zone_model(state, self.t_start, self.t_end_s, self.max_steps, closure, self.epsilon)

        return integrate

    def run(self) -> DiskRun:
        """Integrate the disk from :attr:`t_start` to :attr:`t_end_s`.

        Returns
        -------
        DiskRun
            The labelled result.

        Raises
        ------
        IntegrationError
            The thermal solve or another stage of the native model failed: a
            ``RuntimeError`` whose message names the stage, with the failure's
            ``status`` (a :class:`~velquor.dynamics.accretion.one_zone.Status`),
            the columns computed before it (``partial``) and where it happened
            (``t_failed``, ``state``).

        Warns
        -----
        RuntimeWarning
            ``max_steps`` columns were used up before ``t_end``.
        """
        closure = self.make_closure()
        state = self.initial_state
        integrate = self._integrator()
        try:
            data = integrate(state, closure)
        except IntegrationError as exc:
            if self.closure == "gas+radiation" and exc.status == Status.CLOSURE_EXPAND_FAIL:
                raise IntegrationError(
                    f"{exc} With radiation pressure a thin disk has no thermal equilibrium above a maximum "
                    "surface density (the radiation-pressure instability): use closure 'gas', or a lighter "
                    "disk (no fallback, smaller seed_mass, smaller M_star).",
                    exc.status, exc.status_name, exc.partial, exc.t_failed, exc.state,
                ) from exc
            raise
        result = DiskRun(
            data,
            M_BH=self.M_BH_g,
            R_in=self.R_in,
            R_c=self.R_c,
            t_fb=self.t_fb,
            M_fb_0=self.M_fb_0 if self.fallback else 0.0,
            beta_fb=self.beta_fb,
            t_end=self.t_end_s,
            eta=self.eta,
            inputs=self.params,
            copy=False,  # the integrator's array is new and ours alone
        )
        if not result.completed:
            warnings.warn(
                f"the run stopped after max_steps={self.max_steps} steps at t = {result.t[-1] / DAY:.6g} days, "
                f"before t_end = {self.t_end:.6g} days; raise max_steps"
                + (" or epsilon" if self.integrator == "euler" else ""),
                RuntimeWarning,
                stacklevel=2,
            )
        return result

    def __repr__(self) -> str:
        return (
            f"TDEDisk(M_BH={self.M_BH:g}, M_star={self.M_star:g}, R_star={self.R_star:g}, beta={self.beta:g}, "
            f"alpha={self.alpha:g}, closure={self.closure!r}, opacity={self.opacity_name!r}, "
            f"fallback={self.fallback}, integrator={self.integrator!r})"
        )


# ---------------------------------------------------------------------------
# The result
# ---------------------------------------------------------------------------


def _row(k: int) -> property:
    """The property of result row ``k``: a view of that row, documented from the row table."""
    _, unit, meaning = RESULT_FIELDS[k]

    def get(self: DiskRun) -> np.ndarray:
        return self.data[k]

    get.__doc__ = f"Row {k}: {meaning}" + (f" [{unit}]." if unit else " (dimensionless).")
    return property(get)


class DiskRun:
    """Result of a one-zone disk run: the 20-row result array with names and units.

    Parameters
    ----------
    data : array_like, shape (20, n)
        Result array of the integrator (one column per step, rows as in
        :data:`RESULT_ROWS`, CGS).
    M_BH : float
        Black-hole mass [g].
    R_in : float
        Inner disk radius [cm].
    R_c : float, optional
        Circularisation radius [cm].
    t_fb : float, optional
        Fallback time [s].
    M_fb_0 : float, optional
        Fallback rate at ``t_fb`` [g/s]; 0 for a run without fallback.
    beta_fb : float, optional
        Power-law index of the fallback rate.
    t_end : float, optional
        Requested end of the run [s]; used by :attr:`completed`.
    eta : float, optional
        Radiative efficiency for :attr:`L`; default 0.1.
    inputs : dict, optional
        The model's input parameters, kept for the record.
    copy : bool, optional
        Copy ``data`` (default).  With False a C-contiguous float64 array is
        taken over as it is and made read-only.

    Notes
    -----
    Every row is an attribute (``run.t``, ``run.M``, ``run.T_c``, ...; a view of
    :attr:`data`).  Derived quantities:

    ``Mdot_fb``
        Fallback supply ``M_fb_0 (t / t_fb)**-beta_fb`` [g/s] (zeros without
        fallback).
    ``Mdot_acc``
        Accretion rate through ``R_in`` [g/s], computed as
        ``DISK_F0 * M / t_visc`` with the disk model's calibration constant.
        This is the rate the viscous model removes from the disk, so
        ``Mdot_acc = Mdot_fb - dM_dt`` column by column; the direct formula
        avoids the cancellation of that difference while the supply dominates.
    ``L``
        Bolometric luminosity ``eta * Mdot_acc * c**2`` [erg/s].
    ``L_Edd``
        Eddington luminosity ``4 pi G M_BH c / KAPPA_ES`` [erg/s].
    """

    # One property per row of RESULT_ROWS (step, t, M, J, ..., rho), installed
    # below the class from the writer's row table.
    data: np.ndarray

    def __init__(
        self,
        data: Any,
        *,
        M_BH: float,
        R_in: float,
        R_c: float = math.nan,
        t_fb: float = math.nan,
        M_fb_0: float = 0.0,
        beta_fb: float = 5.0 / 3.0,
        t_end: float = math.nan,
        eta: float = 0.1,
        inputs: dict[str, Any] | None = None,
        copy: bool = True,
    ) -> None:
        arr = np.array(data, dtype=np.float64, order="C") if copy else np.asarray(data, np.float64, order="C")
        if arr.ndim != 2 or arr.shape[0] != len(RESULT_ROWS) or arr.shape[1] < 1:
            raise ValueError(f"data must have shape ({len(RESULT_ROWS)}, n) with n >= 1, got {arr.shape}")
        arr.setflags(write=False)
        self.data = arr
        self.M_BH = float(M_BH)
        self.R_in = float(R_in)
        self.R_c = float(R_c)
        self.t_fb = float(t_fb)
        self.M_fb_0 = float(M_fb_0)
        self.beta_fb = float(beta_fb)
        self.t_end = float(t_end)
        self.eta = eta
        self.inputs = dict(inputs or {})

    # -- derived quantities -----------------------------------------------------

    @property
    def eta(self) -> float:
        """Radiative efficiency used by :attr:`L`, in (0, 1]."""
        return self._eta

    @eta.setter
    def eta(self, value: float) -> None:
        x = _real("eta", value)
        if not 0.0 < x <= 1.0:
            raise ValueError(f"eta must be in (0, 1], got {x!r}")
        self._eta = x

    @property
    def n(self) -> int:
        """Number of result columns."""
        return int(self.data.shape[1])

    @property
    def fallback(self) -> bool:
        """Whether the disk was fed by fallback."""
        return self.M_fb_0 > 0.0

    @property
    def Mdot_fb(self) -> np.ndarray:
        """Fallback supply rate [g/s] at each column (zeros without fallback)."""
        if not self.fallback:
            return np.zeros(self.n)
        return self.M_fb_0 * (self.t / self.t_fb) ** (-self.beta_fb)

    @property
    def Mdot_acc(self) -> np.ndarray:
        """Accretion rate through the inner edge [g/s]: ``DISK_F0 * M / t_visc``."""
        return DISK_F0 * self.M / self.t_visc

    @property
    def L(self) -> np.ndarray:
        """Bolometric luminosity ``eta * Mdot_acc * c**2`` [erg/s]."""
        return self.eta * self.Mdot_acc * C_CGS**2

    @property
    def L_Edd(self) -> float:
        """Eddington luminosity of the black hole for electron scattering [erg/s]."""
        return 4.0 * math.pi * G_CGS * self.M_BH * C_CGS / KAPPA_ES

    @property
    def completed(self) -> bool:
        """True when the run reached its requested end (it did not run out of steps)."""
        if math.isnan(self.t_end):
            return True
        t, dt = self.t[-1], self.dt[-1]
        return bool(t >= self.t_end or t + dt >= self.t_end)

    @property
    def i_peak(self) -> int:
        """Column of the largest accretion rate."""
        mdot = self.Mdot_acc
        return int(np.nanargmax(mdot)) if np.isfinite(mdot).any() else 0

    @property
    def peak_Mdot_acc(self) -> float:
        """Largest accretion rate [g/s]."""
        return float(self.Mdot_acc[self.i_peak])

    @property
    def t_peak(self) -> float:
        """Time of the largest accretion rate [s after disruption]."""
        return float(self.t[self.i_peak])

    def late_time_slope(self, decades: float = 1.0) -> float:
        """Logarithmic slope d ln Mdot_acc / d ln t over the end of the run.

        Parameters
        ----------
        decades : float, optional
            Fit the columns with ``t >= t[-1] / 10**decades``; default 1.

        Returns
        -------
        float
            Least-squares slope, or NaN with fewer than three usable columns.
            A gas-pressure disk with electron-scattering opacity draining
            without supply tends to -19/16.
        """
        t, mdot = self.t, self.Mdot_acc
        sel = (t >= t[-1] / 10.0**decades) & (t > 0) & (mdot > 0) & np.isfinite(mdot)
        if np.count_nonzero(sel) < 3 or np.ptp(t[sel]) == 0:
            return math.nan
        return float(np.polyfit(np.log(t[sel]), np.log(mdot[sel]), 1)[0])

    # -- export -------------------------------------------------------------------

    def to_dict(self) -> dict[str, np.ndarray]:
        """All rows and derived rates as a dictionary of equal-length arrays.

        Keys are the row names of :data:`RESULT_ROWS` followed by ``Mdot_acc``,
        ``Mdot_fb`` and ``L`` (CGS), so ``pandas.DataFrame(run.to_dict())``
        gives one row per step.
        """
        d = {name: np.array(self.data[k]) for k, name in enumerate(RESULT_ROWS)}
        d["Mdot_acc"] = self.Mdot_acc
        d["Mdot_fb"] = self.Mdot_fb
        d["L"] = self.L
        return d

    @property
    def meta(self) -> dict[str, Any]:
        """Scalar description of the run (CGS) and the model inputs."""
        return {
            "M_BH": self.M_BH, "R_in": self.R_in, "R_c": self.R_c, "t_fb": self.t_fb,
            "M_fb_0": self.M_fb_0, "beta_fb": self.beta_fb, "t_end": self.t_end, "eta": self.eta,
            "inputs": self.inputs,
        }  # fmt: skip

    def save_npz(self, path: str | os.PathLike[str]) -> None:
        """Write the result array and the run's description to a NumPy ``.npz`` file.

        :meth:`load_npz` reads it back.
        """
        meta = json.dumps(self.meta, default=_json_default)
        with open(path, "wb") as f:
            np.savez(f, data=self.data, meta=np.array(meta))

    @classmethod
    def load_npz(cls, path: str | os.PathLike[str]) -> DiskRun:
        """Read a run written by :meth:`save_npz`."""
        with np.load(path, allow_pickle=False) as z:
            data = z["data"]
            meta = json.loads(str(z["meta"]))
        inputs = meta.pop("inputs", {})
        return cls(data, inputs=inputs, **meta)

    def save_csv(self, path: str | os.PathLike[str]) -> None:
        """Write one line per step with every row and the derived rates.

        The file opens with ``#`` comment lines describing the run, then a
        header naming each column with its unit (``t [s]``, ``M [g]``, ...),
        then the values (CGS, comma separated).
        """
        d = self.to_dict()
        units = dict(zip(RESULT_ROWS, RESULT_UNITS)) | _DERIVED_UNITS
        names = [f"{k} [{units[k]}]" if units[k] else k for k in d]
        comments = [
            "velquor one-zone TDE disk run (CGS units)",
            f"M_BH = {self.M_BH:.10g} g, R_in = {self.R_in:.10g} cm, R_c = {self.R_c:.10g} cm",
            f"t_fb = {self.t_fb:.10g} s, M_fb_0 = {self.M_fb_0:.10g} g/s, beta_fb = {self.beta_fb:.10g}, "
            f"eta = {self.eta:g}",
            "Mdot_acc = DISK_F0 M / t_visc (= Mdot_fb - dM_dt); L = eta Mdot_acc c^2",
            "inputs: " + json.dumps(self.inputs, default=_json_default),
        ]
        table = np.column_stack(list(d.values()))
        with open(path, "w", encoding="utf-8", newline="\n") as f:
            for line in comments:
                f.write("# " + line + "\n")
            f.write(",".join(names) + "\n")
            np.savetxt(f, table, delimiter=",", fmt="%.10e")

    # -- display ------------------------------------------------------------------

    def summary(self) -> dict[str, float]:
        """Key numbers of the run.

        Returns
        -------
        dict
            ``peak_Mdot_acc`` [M_sun/yr], ``t_peak`` [days], ``M_end``
            [M_sun], ``late_time_slope``, ``t_end`` [days], ``n_steps``,
            ``peak_L`` [erg/s].
        """
        return {
            "n_steps": self.n,
            "t_end": float(self.t[-1]) / DAY,
            "peak_Mdot_acc": self.peak_Mdot_acc * YEAR / M_SUN,
            "t_peak": self.t_peak / DAY,
            "peak_L": float(self.L[self.i_peak]),
            "M_end": float(self.M[-1]) / M_SUN,
            "late_time_slope": self.late_time_slope(),
        }

    def __repr__(self) -> str:
        s = self.summary()
        return (
            f"<DiskRun: {self.n} steps, t = {float(self.t[0]) / DAY:.4g} .. {s['t_end']:.4g} days, "
            f"peak Mdot_acc = {s['peak_Mdot_acc']:.3g} M_sun/yr at t = {s['t_peak']:.4g} days"
            + ("" if self.completed else ", stopped before t_end")
            + ">"
        )

    def plot(self, fig: Any = None) -> Any:
        """Plot rates, disk mass and radius, and temperatures against time.

        Parameters
        ----------
        fig : matplotlib.figure.Figure, optional
            Figure to draw into; a new 10 x 7.5 inch figure by default.

        Returns
        -------
        matplotlib.figure.Figure
        """
        from velquor._plot import plot_run

        return plot_run(self, fig)


for _k, _name in enumerate(RESULT_ROWS):
    setattr(DiskRun, _name, _row(_k))
del _k, _name


def _json_default(obj: Any) -> Any:
    if isinstance(obj, (np.floating, np.integer, np.bool_)):
        return obj.item()
    if isinstance(obj, os.PathLike):
        return os.fspath(obj)
    return repr(obj)
