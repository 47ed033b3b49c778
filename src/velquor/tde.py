"""One-zone disk of a tidal disruption event, in astronomers' units.

:class:`TDEDisk` turns the physical description of a disruption (black-hole and
stellar mass in solar masses, stellar radius in solar radii, penetration factor,
black-hole spin, viscosity, thermal model, opacity, fallback) into the run
parameters, closure and initial disk of the native one-zone model, runs it and
returns a :class:`DiskRun`, a labelled view of the result with derived rates,
luminosity, validity ranges, plotting and export.

Quick start::

    from velquor.tde import TDEDisk
    run = TDEDisk(M_BH=1e6).run()          # a Sun-like star, fallback on
    print(run)                             # steps, time span, peak accretion rate
    print(run.validity())                  # where the model leaves its domain
    run.save_csv("disk.csv")
    run.plot().savefig("disk.png")

Units
-----
One rule: a name with no unit in it is CGS, and a value in astronomers' units
carries its unit at the end of its name (``_days``, ``_msun``, ``_msun_yr``).
The physical description a :class:`TDEDisk` is built from keeps the names
astronomers write (masses in M_sun, radii in R_sun), and has a CGS twin where
one is needed.

=============================  ============================  ===========================================
where                          units                         names
=============================  ============================  ===========================================
TDEDisk arguments and the      M_sun, R_sun; a time in days  ``M_BH``, ``M_star``, ``M_bound``,
attributes of the same names   has ``_days`` in its name     ``seed_mass`` [M_sun]; ``R_star`` [R_sun];
                                                             ``t_end_days`` [days]
TDEDisk derived attributes     CGS                           ``M_BH_g``, ``M_star_g``, ``M_bound_g`` [g];
                                                             ``R_t``, ``R_p``, ``R_c``, ``R_in``,
                                                             ``R_mb`` [cm]; ``t_fb``, ``t_start``,
                                                             ``t_end_s`` [s]; ``M_fb_0`` [g/s]
DiskRun rows, attributes and   CGS, plain NumPy              ``t``, ``M``, ``T_c``, ``Mdot_acc``, ``L``,
``validity()`` records                                       ``L_Edd``, ``M_BH``, ``t_end``,
                                                             ``peak_Mdot_acc``, ``t_peak``, ...
DiskRun conveniences and the   unit in the name              ``t_peak_days``, ``peak_Mdot_acc_msun_yr``,
keys of ``DiskRun.summary()``                                ``M_end_msun``, ``t_last_days``
CSV and NPZ files              CGS; each CSV column header   ``t [s]``, ``M [g]``, ``L [erg s^-1]``
                               names its unit
``velquor`` command            M_sun, R_sun, days, M_sun/yr  ``--mbh``, ``--t-end DAYS``; every printed
                                                             value is followed by its unit
=============================  ============================  ===========================================

So ``M_BH`` is the input in M_sun on a model and the mass in grams on a run
(``TDEDisk.M_BH_g``); ``t_end`` is in seconds wherever it is not deprecated.
Renamed names keep working for one version with a :class:`DeprecationWarning`:
``TDEDisk(t_end=...)`` and ``TDEDisk.t_end`` (days) are ``t_end_days``; the
summary keys ``peak_Mdot_acc``, ``t_peak``, ``M_end`` and ``t_end`` (days, time
of the last column) are ``peak_Mdot_acc_msun_yr``, ``t_peak_days``,
``M_end_msun`` and ``t_last_days``.

Geometry of the disruption
--------------------------
(``M_BH``, ``M_star`` in M_sun; ``R_star`` in R_sun; penetration factor
``beta = R_t / R_p``; dimensionless spin ``a``; ``r_g = G M_BH / c**2``)::

    R_star = M_star**0.8 (M_star <= 1), M_star**0.57 (above)   when not given
    R_t    = R_star (M_BH / M_star)**(1/3)            tidal radius
    R_p    = R_t / beta                               pericentre
    R_c    = 2 R_p = 2 R_t / beta                     circularisation radius
    R_in   = r_isco(a) r_g                            inner edge (6 r_g at a = 0)
    R_mb   = r_mb(a) r_g = (2 - a + 2 sqrt(1 - a)) r_g   marginally bound orbit
    dE     = G M_BH R_star / R_t**2                   spread in specific energy
    t_fb   = 2 pi G M_BH / (2 dE)**(3/2)              return time of the most bound debris
    M_fb_0 = (beta_fb - 1) M_bound / t_fb             fallback rate at t_fb

``r_isco`` is the innermost stable circular orbit of Bardeen, Press & Teukolsky
(1972) (negative spin: a retrograde disk).  A pericentre inside ``R_mb`` is a
direct capture: the star is swallowed whole, and :class:`TDEDisk` refuses it
with a :class:`ValueError` that gives the Hills limit, the heaviest black hole
that disrupts this star.  (Any pericentre outside ``R_mb`` has ``R_c`` outside
``R_in``.)

The penetration factor enters only through the pericentre, hence ``R_c``: the
energy spread of the debris is set at the tidal radius and does not depend on
``beta`` (it is frozen in as the star crosses ``R_t``).  ``M_fb_0`` is chosen so
that the power law ``M_fb_0 (t / t_fb)**-beta_fb`` delivers, from ``t_fb`` on,
the bound debris mass ``M_bound`` in total; by default that is half the star,
and for the default ``beta_fb = 5/3`` then ``M_fb_0 = M_star / (3 t_fb)``.  A
partial disruption (``beta`` below about 0.9 for a gamma = 5/3 star) binds less:
give ``M_bound``; a model with ``beta < 1`` and the default ``M_bound`` warns
once, at construction (:class:`PartialDisruptionWarning`).

All times of a run are measured from the disruption.  Both kinds of run start at
``t_fb``: a fallback-fed run from a seed disk of ``seed_mass`` at ``R_c``
(the fallback rate diverges at t = 0), a run without fallback from the bound
debris ``M_bound`` at ``R_c``.  The initial angular momentum is that of a ring at
``R_c``: ``J = DISK_XI M sqrt(G M_BH R_c)``.

Validity and size
-----------------
:meth:`DiskRun.validity` lists the time ranges where a run leaves the domain of
the model (super-Eddington thin disk, optically thin, a photosphere too cool for
electron scattering, a thick disk).  Runs emit no warning for it: a fit runs
millions of models.  The result array a run allocates is bounded by
:data:`MAX_RESULT_BYTES`; a model whose ``n_out`` or ``max_steps`` asks for more
is refused at construction.
"""

from __future__ import annotations

import contextvars
import functools
import json
import math
import numbers
import os
import warnings
from typing import Any, NamedTuple

import numpy as np

from velquor.dynamics.accretion.one_zone import IntegrationError, Status
from velquor.dynamics.accretion.one_zone._writer import EXTENDED_RESULT_FIELDS, RESULT_FIELDS
from velquor.dynamics.accretion.one_zone.closure import DISK_F0, DISK_XI, G_CGS, KAPPA_ES

__all__ = [
    "TDEDisk",
    "DiskRun",
    "DEFAULT_INTEGRATOR",
    "INTEGRATORS",
    "CLOSURES",
    "THIN_CLOSURES",
    "OPACITIES",
    "GM_SUN",
    "M_SUN",
    "R_SUN",
    "C_CGS",
    "DAY",
    "YEAR",
    "RESULT_ROWS",
    "RESULT_UNITS",
    "BRANCH_ROWS",
    "MAX_RESULT_BYTES",
    "BranchEpisode",
    "DomainExit",
    "RunFailure",
    "PartialDisruptionWarning",
    "available_integrators",
    "main_sequence_radius",
    "r_isco",
    "r_mb",
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

#: Thermal models by name: the value is ``gas_pressure_only`` of the closure
#: ("advective": gas plus radiation pressure with advective cooling, the
#: AdvectiveClosure).
CLOSURES = {"gas": True, "gas+radiation": False, "advective": False}
#: The thermal models that are thin disks (radiative cooling only): for them a
#: run above the Eddington luminosity or with H/R > 0.3 is outside the model's
#: domain (:meth:`DiskRun.validity`).  A closure with advective cooling does not
#: belong here.
THIN_CLOSURES = frozenset({"gas", "gas+radiation"})
#: Opacities by name: the analytic laws, and "opal", the OPAL table shipped with
#: the package (any OPAL-format file is given with ``opal_table``).
OPACITIES = ("es", "kramers", "opal")
#: Time integrators by name.
INTEGRATORS = ("euler", "adaptive")
#: What :meth:`TDEDisk.run` does when the native model fails.
_ON_FAILURE = ("raise", "truncate")

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
#: Names of the rows a branch-tracking closure ("advective") appends: the
#: radiated fraction Q_rad / Q+ and the thermal branch (0 thin, 1 advective).
BRANCH_ROWS = tuple(name for name, _, _ in EXTENDED_RESULT_FIELDS[len(RESULT_FIELDS):])
_DERIVED_UNITS = {"Mdot_acc": "g s^-1", "Mdot_fb": "g s^-1", "L": "erg s^-1"}
_ROW = {name: k for k, name in enumerate(RESULT_ROWS + BRANCH_ROWS)}

#: Largest result array [bytes] a model may ask for: ``len(RESULT_ROWS) * 8``
#: bytes per column, so 1 GiB is 6 710 886 columns.  The columns are ``n_out``
#: (adaptive integrator with output times) or ``max_steps`` (Euler, or adaptive
#: with ``n_out=0``).  Checked when a model is built, before anything is
#: allocated; assign a larger value to this module attribute to lift it.
MAX_RESULT_BYTES = 1 << 30

# False inside a sweep's task: a truncated run shows in ``DiskRun.completed``
# instead of a warning.  A context variable, not a warning filter: filters are
# process-wide, and tasks on other threads would change them under each other.
_WARN_TRUNCATION = contextvars.ContextVar("velquor_warn_truncation", default=True)


class PartialDisruptionWarning(UserWarning):
    """A model with ``beta < 1`` (a partial disruption) keeps the default bound mass of half the star."""


class RunFailure(NamedTuple):
    """Why and where a run stopped before its end (``DiskRun.failure``; see :meth:`TDEDisk.run`)."""

    #: The failure's native status (a :class:`~velquor.dynamics.accretion.one_zone.Status` value).
    status: int
    #: The status's name, e.g. "CLOSURE_EXPAND_FAIL".
    status_name: str
    #: The failure's message, naming the stage that failed.
    message: str
    #: Time [s after disruption] of the state the run could not get past.
    t_failed: float
    #: That state's [M, J] [g, g cm^2 s^-1].
    state: tuple[float, float]


class BranchEpisode(NamedTuple):
    """A time range in which a run stays on one thermal branch (see :meth:`DiskRun.branch_episodes`)."""

    #: 0 the thin (radiative) branch, 1 the advective branch.
    branch: int
    #: Time of the first column on the branch [s after disruption].
    t_start: float
    #: Time of the last column on the branch [s after disruption].
    t_end: float
    #: Largest accretion rate in the range [g/s].
    peak_Mdot_acc: float
    #: Largest bolometric luminosity in the range [erg/s].
    peak_L: float


class DomainExit(NamedTuple):
    """A time range in which a run is outside the domain of the model (see :meth:`DiskRun.validity`)."""

    #: Which limit is crossed: "L / L_Edd > 1", "tau < 1", "T_eff < 1e4 K" or "H / R > 0.3".
    condition: str
    #: Time of the first column in the range [s after disruption].
    t_start: float
    #: Time of the last column in the range [s after disruption].
    t_end: float
    #: Most extreme value in the range: the largest L / L_Edd or H / R, the
    #: smallest tau or T_eff [K].
    extreme: float


# ---------------------------------------------------------------------------
# The disruption
# ---------------------------------------------------------------------------


def main_sequence_radius(M_star: float) -> float:
    """Radius of a main-sequence star [R_sun] from its mass [M_sun].

    ``M_star**0.8`` up to one solar mass, ``M_star**0.57`` above (power-law
    fits to the main sequence).
    """
    m = _positive("M_star", M_star, " M_sun")
    return m**0.8 if m <= 1.0 else m**0.57


def r_isco(spin: float) -> float:
    """Innermost stable circular orbit [G M_BH / c**2] of a black hole of spin ``a`` in (-1, 1).

    Bardeen, Press & Teukolsky (1972); a negative spin is a retrograde orbit.
    6 at ``a = 0``, tending to 1 as ``a -> 1`` and to 9 as ``a -> -1``.
    """
    a = _open_interval("spin", spin, -1.0, 1.0)
    z1 = 1.0 + (1.0 - a * a) ** (1.0 / 3.0) * ((1.0 + a) ** (1.0 / 3.0) + (1.0 - a) ** (1.0 / 3.0))
    z2 = math.sqrt(3.0 * a * a + z1 * z1)
    sign = (a > 0.0) - (a < 0.0)
    return 3.0 + z2 - sign * math.sqrt((3.0 - z1) * (3.0 + z1 + 2.0 * z2))


def r_mb(spin: float) -> float:
    """Marginally bound circular orbit [G M_BH / c**2]: ``2 - a + 2 sqrt(1 - a)`` (4 at ``a = 0``).

    A parabolic orbit with its pericentre inside it falls into the black hole.
    """
    a = _open_interval("spin", spin, -1.0, 1.0)
    return 2.0 - a + 2.0 * math.sqrt(1.0 - a)


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
    # plain floats first: the ABC check costs more than the rest (fits build a model per evaluation)
    if type(value) is not float and (isinstance(value, bool) or not isinstance(value, numbers.Real)):
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


def _check_result_size(name: str, columns: int, rows: int) -> None:
    """Refuse a result array above :data:`MAX_RESULT_BYTES` before it is allocated."""
    per_column = 8 * rows
    if columns * per_column > MAX_RESULT_BYTES:
        raise ValueError(
            f"{name}={columns} asks for a result of {columns * per_column / 2**30:.3g} GiB ({rows} rows "
            f"x {columns} columns x 8 bytes), above the limit of {MAX_RESULT_BYTES / 2**30:.3g} GiB "
            f"(velquor.tde.MAX_RESULT_BYTES): at most {MAX_RESULT_BYTES // per_column} columns"
        )


@functools.lru_cache(maxsize=1)
def _packaged_opal() -> tuple[np.ndarray, ...]:
    from velquor.radiation.opacity.tables import packaged_table

    arrays = packaged_table("opal")
    for a in arrays:
        a.setflags(write=False)
    return arrays


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
        Radius of the disrupted star [R_sun]; by default the main-sequence
        radius of ``M_star`` (:func:`main_sequence_radius`: ``M_star**0.8`` up
        to one solar mass, ``M_star**0.57`` above).
    beta : float, optional
        Penetration factor R_t / R_p (>= 1 for a full disruption); default 1.
        It sets the circularisation radius R_c = 2 R_t / beta.
    spin : float, optional
        Dimensionless black-hole spin in (-1, 1) (negative: the disk orbits
        against the hole's rotation); default 0.  It sets the inner edge
        R_in = r_isco(spin) G M_BH / c**2 and the marginally bound orbit that
        decides direct capture.
    M_bound : float, optional
        Mass of the bound debris [M_sun], in (0, M_star]; default half the
        star.  The fallback delivers it in total, and a run without fallback
        starts from it.  A partial disruption (``beta < 1``) binds less: a model
        with ``beta < 1`` that leaves this at its default warns once
        (:class:`PartialDisruptionWarning`).
    alpha : float, optional
        Viscosity parameter, in (0, 1]; default 0.1.
    mu : float, optional
        Mean molecular weight of the gas; default 0.6.
    closure : {"gas", "gas+radiation", "advective"}, optional
        Thermal model: gas pressure only (default), gas plus radiation
        pressure, or gas plus radiation pressure with advective cooling.
        "gas+radiation" has no thin-disk solution above a maximum surface
        density (about 0.02 M_sun at R_c for the reference disruption); use it
        for light disks or with table opacities.  "advective" moves such a disk
        to the advective (slim) branch instead and back to the thin branch
        when it thins out; its runs have the rows :data:`BRANCH_ROWS` (the
        radiated fraction and the branch) and radiate only the radiated
        fraction of the heating (:attr:`DiskRun.L`).
    xi : float, optional
        Closure "advective" only: the advection parameter, finite and >= 0
        (Q_adv = xi Mdot_acc c_s**2 / (2 pi R**2)); default 1.  0 is the
        gas-plus-radiation closure.
    opacity : {"es", "kramers", "opal"} or opacity object, optional
        Electron scattering (default), Kramers plus electron scattering, the
        OPAL table shipped with the package (X = 0.70, Z = 0.02; queries outside
        the table take the nearest tabulated value), or any grey opacity
        instance (a ``C_GreyMurkwell`` subclass).  An object is shared by every
        run of this model and must not be changed while one is in progress.
    fallback : bool, optional
        Feed the disk with the power-law fallback of the bound debris; default
        True.
    epsilon : float, optional
        Euler integrator only: step fraction in (0, 1) of the shortest
        evolution time; default 1e-3 (about 7000 steps for the defaults).
    t_end_days : float, optional
        End of the run [days after disruption]; default 365250 (1000 yr).
    max_steps : int, optional
        Step limit; default 200000.  Euler: the number of result columns, and a
        run that exhausts it before ``t_end_days`` is returned with a
        ``RuntimeWarning``.  Adaptive: the number of accepted steps (with
        ``n_out`` output times a run that needs more raises ``RuntimeError``;
        with ``n_out=0`` also the number of result columns).
    beta_fb : float, optional
        Power-law index of the fallback rate, > 1; default 5/3.
    seed_mass : float, optional
        Initial disk mass of a fallback-fed run [M_sun], below ``M_bound``;
        default 1e-3.
    eta : float, optional
        Radiative efficiency in (0, 1] for an explicit bolometric luminosity
        ``eta * Mdot_rad * c**2`` (``Mdot_rad`` = ``Mdot_acc`` on a thin
        closure).  Default None: the luminosity is the integral of the disk
        spectrum (see :attr:`DiskRun.L`).
    integrator : {"euler", "adaptive"}, optional
        Time integrator; default :data:`DEFAULT_INTEGRATOR` ("adaptive":
        error-controlled Dormand-Prince steps).
    rtol : float, optional
        Adaptive integrator only: relative error tolerance; default 1e-6.
    n_out : int, optional
        Adaptive integrator only: number of output times, spaced evenly in
        log t from the start to ``t_end_days`` (each with its own thermal
        solve); 0 gives one column per accepted step instead.  Default 2000.
    opal_table : path-like, optional
        Read the opacity from this OPAL-format Rosseland-mean table file (log10
        T rows, log10 R columns) instead of an analytic law.  Queries outside the
        table take the nearest tabulated value.
    opal_table_number : int, optional
        Table number to read from a multi-table OPAL file (needs
        ``opal_table``).
    t_end : float, optional
        Deprecated name of ``t_end_days`` (same value, in days); it keeps
        working for one version with a ``DeprecationWarning``.

    Raises
    ------
    ValueError
        A value out of range (naming the argument and the value), an unknown
        choice, a direct capture (the pericentre inside the marginally bound
        orbit: the message gives the Hills limit), a result larger than
        :data:`MAX_RESULT_BYTES`, or an unreadable opacity table.
    TypeError
        A non-numeric value, an opacity object that is not a grey opacity, or
        both ``t_end_days`` and ``t_end``.

    Warns
    -----
    PartialDisruptionWarning
        ``beta < 1`` with the default ``M_bound``.
    DeprecationWarning
        ``t_end`` given.

    Notes
    -----
    The arguments are kept as attributes of the same names and units
    (``R_star`` and ``M_bound`` hold the values used when they were not given).
    Derived quantities are attributes in CGS: ``R_t``, ``R_p``, ``R_c``,
    ``R_in``, ``R_mb`` [cm], ``t_fb`` [s], ``M_fb_0`` [g/s], ``M_BH_g``,
    ``M_star_g``, ``M_bound_g`` [g], ``t_start``, ``t_end_s`` [s].
    :attr:`run_params` is the dictionary bound into the closure (natural
    logarithms of CGS values), :attr:`initial_state` the starting ``[M, J]`` and
    :attr:`params` the arguments as a plain dictionary (``TDEDisk(**disk.params)``
    rebuilds the model; a sweep sends such dictionaries to its workers).

    A model object can be run any number of times, also from several threads at
    once: every run builds its own closure.
    """

    def __init__(
        self,
        M_BH: float = 1e6,
        M_star: float = 1.0,
        R_star: float | None = None,
        beta: float = 1.0,
        *,
        spin: float = 0.0,
        M_bound: float | None = None,
        alpha: float = 0.1,
        mu: float = 0.6,
        closure: str = "gas",
        xi: float | None = None,
        opacity: Any = "es",
        fallback: bool = True,
        epsilon: float = 1e-3,
        t_end_days: float | None = None,
        max_steps: int = 200_000,
        beta_fb: float = 5.0 / 3.0,
        seed_mass: float = 1e-3,
        eta: float | None = None,
        integrator: str | None = None,
        rtol: float = 1e-6,
        n_out: int = 2000,
        opal_table: str | os.PathLike[str] | None = None,
        opal_table_number: int | None = None,
        t_end: float | None = None,
    ) -> None:
        self.M_BH = _positive("M_BH", M_BH, " M_sun")
        self.M_star = _positive("M_star", M_star, " M_sun")
        self.R_star = main_sequence_radius(self.M_star) if R_star is None else _positive("R_star", R_star, " R_sun")
        self.beta = _positive("beta", beta)
        self.spin = _open_interval("spin", spin, -1.0, 1.0)
        if M_bound is None:
            self.M_bound = 0.5 * self.M_star
        else:
            self.M_bound = _positive("M_bound", M_bound, " M_sun")
            if self.M_bound > self.M_star:
                raise ValueError(
                    f"M_bound must not exceed M_star = {self.M_star:g} M_sun, got {self.M_bound!r} M_sun"
                )
        self.alpha = _real("alpha", alpha)
        if not 0.0 < self.alpha <= 1.0:
            raise ValueError(f"alpha must be in (0, 1], got {self.alpha!r}")
        self.mu = _positive("mu", mu)
        self.closure = _choice("closure", closure, CLOSURES)
        if self.closure == "advective":
            self.xi: float | None = 1.0 if xi is None else _real("xi", xi)
            if self.xi < 0.0:
                raise ValueError(f"xi must be >= 0, got {self.xi!r}")
        elif xi is not None:
            raise ValueError(f"xi applies to closure 'advective' only, got xi={xi!r} with closure={self.closure!r}")
        else:
            self.xi = None
        if not isinstance(fallback, (bool, np.bool_)):
            raise TypeError(f"fallback must be True or False, got {fallback!r}")
        self.fallback = bool(fallback)
        self.epsilon = _open_interval("epsilon", epsilon, 0.0, 1.0)
        if t_end is not None:
            if t_end_days is not None:
                raise TypeError("give t_end_days, not both t_end_days and its deprecated name t_end")
            warnings.warn(
                "TDEDisk(t_end=...) is deprecated: use t_end_days (the same value, in days)",
                DeprecationWarning,
                stacklevel=2,
            )
            t_end_days = t_end
        self.t_end_days = _positive("t_end_days", 365250.0 if t_end_days is None else t_end_days, " days")
        self.max_steps = _count("max_steps", max_steps)
        self.beta_fb = _real("beta_fb", beta_fb)
        if not self.beta_fb > 1.0:
            raise ValueError(f"beta_fb must be > 1 (a finite debris mass), got {self.beta_fb!r}")
        self.seed_mass = _positive("seed_mass", seed_mass, " M_sun")
        self.eta = _efficiency(eta)
        self.integrator = _choice("integrator", DEFAULT_INTEGRATOR if integrator is None else integrator, INTEGRATORS)
        if self.integrator not in available_integrators():
            raise ValueError(f"integrator {self.integrator!r} is not available in this installation; use 'euler'")
        self.rtol = _open_interval("rtol", rtol, 0.0, 1.0)
        if isinstance(n_out, bool) or not isinstance(n_out, numbers.Integral) or n_out < 0 or n_out == 1:
            raise ValueError(f"n_out must be 0 or an integer >= 2, got {n_out!r}")
        self.n_out = int(n_out)
        # The result's size, before anything is allocated.
        rows = len(RESULT_ROWS) + (len(BRANCH_ROWS) if self.closure == "advective" else 0)
        if self.integrator == "adaptive" and self.n_out:
            _check_result_size("n_out", self.n_out, rows)
        else:
            _check_result_size("max_steps", self.max_steps, rows)

        self._derive_geometry()
        self.t_start = self.t_fb
        self.t_end_s = self.t_end_days * DAY
        if not math.isfinite(self.t_end_s):
            raise ValueError(f"t_end_days must be finite in seconds, got {self.t_end_days!r} days")
        if not self.t_end_s > self.t_start:
            raise ValueError(
                f"t_end_days must be after the start of the run at t_fb = {self.t_fb / DAY:.6g} days, "
                f"got {self.t_end_days!r} days"
            )
        if self.fallback and not self.seed_mass < self.M_bound:
            raise ValueError(
                f"seed_mass must be below the bound debris mass M_bound = {self.M_bound:g} M_sun, "
                f"got {self.seed_mass!r} M_sun"
            )

        # Opacity: built once, shared read-only by every run.
        self._opal_table = None if opal_table is None else os.fspath(opal_table)
        self._opal_table_number = opal_table_number
        self._opacity_arg = opacity
        if self._opal_table is not None:
            if not (isinstance(opacity, str) and opacity in ("es", "opal")):
                raise ValueError("give either opacity or opal_table, not both")
            self.opacity_name = "opal"
            self.opacity = self._read_opal(self._opal_table, opal_table_number)
        elif opal_table_number is not None:
            raise ValueError(f"opal_table_number needs opal_table, got opal_table_number={opal_table_number!r}")
        elif isinstance(opacity, str):
            self.opacity_name = _choice("opacity", opacity, OPACITIES)
            self.opacity = self._named_opacity(self.opacity_name)
        elif opacity is None:
            self.opacity_name = "es"
            self.opacity = self._named_opacity("es")
        else:
            if not isinstance(opacity, _grey_opacity_class()):
                raise TypeError(
                    f"opacity must be one of {', '.join(repr(o) for o in OPACITIES)} or a grey opacity object "
                    f"(C_GreyMurkwell), got {type(opacity).__name__}"
                )
            self.opacity_name = type(opacity).__name__
            self.opacity = opacity

        if self.beta < 1.0 and M_bound is None:
            warnings.warn(
                PartialDisruptionWarning(
                    f"beta = {self.beta:g} < 1 is a partial disruption, which binds less than half the star, "
                    f"but M_bound was left at its default M_star / 2 = {self.M_bound:g} M_sun: give M_bound "
                    "(the bound debris mass in M_sun)"
                ),
                stacklevel=2,
            )

    def _derive_geometry(self) -> None:
        """The CGS radii, times and rates of the disruption; refuses a direct capture."""
        gm = self.M_BH * GM_SUN
        self.M_BH_g = self.M_BH * M_SUN
        self.M_star_g = self.M_star * M_SUN
        self.M_bound_g = self.M_bound * M_SUN
        r_star = self.R_star * R_SUN
        r_g = gm / C_CGS**2
        try:
            self.R_t = r_star * (self.M_BH / self.M_star) ** (1.0 / 3.0)
            self.R_p = self.R_t / self.beta
            self.R_c = 2.0 * self.R_p
            self.R_in = r_isco(self.spin) * gm / C_CGS**2
            self.R_mb = r_mb(self.spin) * r_g
            dE = gm * r_star / self.R_t**2
            self.t_fb = 2.0 * math.pi * gm / (2.0 * dE) ** 1.5
        except (OverflowError, ZeroDivisionError):
            self.t_fb = math.nan
        derived = (self.M_BH_g, self.M_star_g, self.R_t, self.R_p, self.R_in, self.t_fb)
        if not all(math.isfinite(x) and x > 0.0 for x in derived):
            raise ValueError(
                f"the disruption's radii and times overflow or vanish in CGS (M_BH={self.M_BH:g}, "
                f"M_star={self.M_star:g}, R_star={self.R_star:g}, beta={self.beta:g})"
            )
        if not self.R_p > self.R_mb:
            # Solve R_t / beta = r_mb G M_BH / c^2 for M_BH.
            # (in logarithms: no overflow for any finite input).
            log_ratio = math.log(r_star) + 2.0 * math.log(C_CGS) - math.log(self.beta * r_mb(self.spin) * G_CGS)
            hills = math.exp(1.5 * log_ratio - 0.5 * math.log(self.M_star_g))
            raise ValueError(
                f"direct capture: the pericentre R_p = {self.R_p / r_g:.4g} G M_BH/c^2 lies inside the marginally "
                f"bound orbit r_mb = {self.R_mb / r_g:.4g} G M_BH/c^2, so the star is swallowed whole; "
                f"M_BH is above the Hills limit {hills / M_SUN:.4g} M_sun for this star, beta and spin "
                f"(M_BH={self.M_BH:g}, M_star={self.M_star:g}, R_star={self.R_star:g}, beta={self.beta:g}, "
                f"spin={self.spin:g})"
            )
        self.M_fb_0 = (self.beta_fb - 1.0) * self.M_bound_g / self.t_fb

    @property
    def t_end(self) -> float:
        """Deprecated: :attr:`t_end_days` (days; ``t_end`` means seconds on a :class:`DiskRun`)."""
        warnings.warn(
            "TDEDisk.t_end is deprecated: use t_end_days (the same value, in days) or t_end_s (seconds)",
            DeprecationWarning,
            stacklevel=2,
        )
        return self.t_end_days

    # -- opacity ------------------------------------------------------------

    @staticmethod
    def _named_opacity(name: str) -> Any:
        from velquor.radiation.opacity import ElectronScatteringOpacity, KramersOpacity

        if name == "opal":
            from velquor.radiation.opacity.grey_opacity.rosseland._quenby import C_QuenbyOpacity

            # Each model owns its arrays (the table is built over them, and
            # refuses read-only ones); clamp mode as for any OPAL table.
            return C_QuenbyOpacity(*(np.array(a) for a in _packaged_opal()), 1)
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
        """The constructor arguments as a plain dictionary (``R_star`` and ``M_bound`` as used)."""
        d: dict[str, Any] = {
            "M_BH": self.M_BH, "M_star": self.M_star, "R_star": self.R_star, "beta": self.beta,
            "spin": self.spin, "M_bound": self.M_bound,
            "alpha": self.alpha, "mu": self.mu, "closure": self.closure, "xi": self.xi, "opacity": self._opacity_arg,
            "fallback": self.fallback, "epsilon": self.epsilon, "t_end_days": self.t_end_days,
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
        m = self.seed_mass * M_SUN if self.fallback else self.M_bound_g
        j = DISK_XI * m * math.sqrt(G_CGS * self.M_BH_g * self.R_c)
        return np.array([m, j], dtype=np.float64)

    def make_closure(self) -> Any:
        """Build a new closure with this model's thermal model, opacity and run parameters.

        Returns
        -------
        FullPressureClosure
            Ready to pass to an integrator together with :attr:`initial_state`
            (an AdvectiveClosure, its subclass, for closure "advective").
        """
        from velquor.dynamics.accretion.one_zone.models._hollin import FullPressureClosure

        if self.closure == "advective":
            from velquor.dynamics.accretion.one_zone.models._advective import AdvectiveClosure

            closure = AdvectiveClosure(with_fallback=self.fallback, mu=self.mu, xi=self.xi)
        else:
            closure = FullPressureClosure(
                gas_pressure_only=CLOSURES[self.closure], with_fallback=self.fallback, mu=self.mu
            )
        closure.opacity = self.opacity
        closure.bind_runtime_parameters(self.run_params)
        return closure

    # -- running ---------------------------------------------------------------

    def _integrator(self, t_eval: np.ndarray | None = None) -> Any:
        """``integrate(initial_state, closure) -> result array`` for the chosen integrator.

        ``t_eval`` (adaptive only) replaces the model's own output times; the run
        then ends at its last entry.
        """
        if self.integrator == "adaptive":
            try:
                from velquor.dynamics.accretion.one_zone.adaptive import run_one_zone_model_adaptive
            except ImportError as exc:
                raise ValueError("integrator 'adaptive' is not available in this installation; use 'euler'") from exc
            if t_eval is None and self.n_out:
                t_eval = np.geomspace(self.t_start, self.t_end_s, self.n_out)
            t_end = self.t_end_s if t_eval is None else float(t_eval[-1])

            def integrate(state: np.ndarray, closure: Any) -> np.ndarray:
                return run_one_zone_model_adaptive(
                    state, self.t_start, t_end, closure, rtol=self.rtol, max_steps=self.max_steps, t_eval=t_eval
                )

        else:
            from velquor.dynamics.accretion.one_zone.integrator import run_one_zone_model

            def integrate(state: np.ndarray, closure: Any) -> np.ndarray:
                return run_one_zone_model(state, self.t_start, self.t_end_s, self.max_steps, closure, self.epsilon)

        return integrate

    def run(self, on_failure: str = "raise", *, t_eval: Any = None) -> DiskRun:
        """Integrate the disk from :attr:`t_start` to :attr:`t_end_s`.

        Parameters
        ----------
        on_failure : {"raise", "truncate"}, optional
            What a failure of the native model does.  ``"raise"`` (default):
            raise it.  ``"truncate"``: return what was computed before it, a
            :class:`DiskRun` with ``completed`` False whose ``failure`` says
            why, when and in which state the run stopped.  A run that fails
            before its first column has nothing to return and raises either
            way.
        t_eval : array_like, optional
            Adaptive integrator only: the times [s after disruption] at which to
            return the disk, finite, in increasing order (repeats allowed), from
            :attr:`t_start` on, instead of the ``n_out`` output times.  The run
            then ends at the last of them (which replaces :attr:`t_end_s`, later
            or earlier), its size is bounded like ``n_out``'s by
            :data:`MAX_RESULT_BYTES`, and each column is the integrator's
            dense output at its time (as accurate as the steps): the way to get
            the disk at the epochs of a light curve without a run over the
            whole span.

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
        ValueError
            ``on_failure`` is not one of the two choices.

        Warns
        -----
        RuntimeWarning
            ``max_steps`` columns were used up before ``t_end``.
        """
        t_end = self.t_end_s
        if t_eval is not None:
            if self.integrator != "adaptive":
                raise ValueError(f"t_eval needs the adaptive integrator, got integrator={self.integrator!r}")
            if isinstance(t_eval, (str, bytes)):
                raise TypeError(f"t_eval must be an array of times [s], got {t_eval!r}")
            try:
                t_eval = np.array(t_eval, dtype=np.float64, ndmin=1)
            except (TypeError, ValueError):
                raise TypeError(f"t_eval must be an array of times [s], got {t_eval!r}") from None
            if t_eval.ndim != 1 or t_eval.size == 0:
                raise ValueError(f"t_eval must be a non-empty 1-D array of times, got shape {t_eval.shape}")
            # one cheap test on the way every likelihood of a fit takes; the diagnosis only when it fails
            if not (np.isfinite(t_eval).all() and (t_eval[1:] >= t_eval[:-1]).all()):
                bad = np.flatnonzero(~np.isfinite(t_eval))
                if bad.size:
                    raise ValueError(f"t_eval must be finite, got t_eval[{bad[0]}] = {float(t_eval[bad[0]])!r}")
                k = int(np.flatnonzero(np.diff(t_eval) < 0)[0])
                raise ValueError(f"t_eval must be in increasing order, got t_eval[{k + 1}] = {float(t_eval[k + 1])!r} "
                                 f"after {float(t_eval[k])!r}")  # fmt: skip
            if not t_eval[-1] > self.t_start:
                raise ValueError(f"t_eval must end after the run's start t_start = {self.t_start!r} s, "
                                 f"got {float(t_eval[-1])!r}")  # fmt: skip
            rows = len(RESULT_ROWS) + (len(BRANCH_ROWS) if self.closure == "advective" else 0)
            _check_result_size("len(t_eval)", t_eval.size, rows)
            t_end = float(t_eval[-1])
        _choice("on_failure", on_failure, _ON_FAILURE)
        closure = self.make_closure()
        state = self.initial_state
        integrate = self._integrator(t_eval)
        failure = None
        try:
            data = integrate(state, closure)
        except IntegrationError as native:
            exc = native
            if self.closure == "gas+radiation" and exc.status == Status.CLOSURE_EXPAND_FAIL:
                exc = IntegrationError(
                    f"{exc} With radiation pressure a thin disk has no thermal equilibrium above a maximum "
                    "surface density (the radiation-pressure instability): use closure 'advective' (or 'gas'), "
                    "or a lighter disk (no fallback, smaller seed_mass, smaller M_star).",
                    exc.status, exc.status_name, exc.partial, exc.t_failed, exc.state,
                )  # fmt: skip
            partial = exc.partial
            if on_failure == "raise" or partial is None or partial.shape[1] == 0:
                if exc is native:
                    raise
                raise exc from native
            data = partial
            state_failed = (math.nan, math.nan) if exc.state is None else tuple(float(x) for x in exc.state)
            failure = RunFailure(exc.status, exc.status_name, str(exc), exc.t_failed, state_failed)
        result = DiskRun(
            data,
            M_BH=self.M_BH_g,
            R_in=self.R_in,
            R_c=self.R_c,
            t_fb=self.t_fb,
            M_fb_0=self.M_fb_0 if self.fallback else 0.0,
            beta_fb=self.beta_fb,
            t_end=t_end,
            eta=self.eta,
            inputs=self.params,
            failure=failure,
            copy=False,  # the integrator's array (or the failure's) is new and ours alone
        )
        if failure is None and not result.completed and _WARN_TRUNCATION.get():
            warnings.warn(
                f"the run stopped after max_steps={self.max_steps} steps at t = {result.t[-1] / DAY:.6g} days, "
                f"before t_end_days = {self.t_end_days:.6g}; raise max_steps"
                + (" or epsilon" if self.integrator == "euler" else ""),
                RuntimeWarning,
                stacklevel=2,
            )
        return result

    def __repr__(self) -> str:
        return (
            f"TDEDisk(M_BH={self.M_BH:g}, M_star={self.M_star:g}, R_star={self.R_star:g}, beta={self.beta:g}, "
            f"spin={self.spin:g}, M_bound={self.M_bound:g}, "
            f"alpha={self.alpha:g}, closure={self.closure!r}, "
            + (f"xi={self.xi:g}, " if self.xi is not None else "")
            + f"opacity={self.opacity_name!r}, "
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
    data : array_like, shape (20, n) or (22, n)
        Result array of the integrator (one column per step, rows as in
        :data:`RESULT_ROWS`, CGS), followed for the advective closure by the
        rows of :data:`BRANCH_ROWS`.
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
        Radiative efficiency for an explicit :attr:`L` = ``eta * Mdot_rad * c**2``;
        default None (:attr:`L` is the integral of the disk spectrum).
    inputs : dict, optional
        The model's input parameters, kept for the record.
    failure : RunFailure, optional
        Why, when and in which state the run stopped, when the native model
        failed and the columns computed before the failure are all the run
        holds (``TDEDisk.run(on_failure="truncate")``); None otherwise.
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
    ``f_rad``, ``branch``
        The radiated fraction Q_rad / Q+ of the viscous heating and the
        thermal branch (0 thin, 1 advective) of each column: the rows of
        :data:`BRANCH_ROWS` when the closure reports them (closure
        "advective"), else all ones and all zeros (a thin disk radiates its
        heating).
    ``Mdot_rad``
        ``f_rad * Mdot_acc`` [g/s]: the accretion rate whose heat is radiated,
        which feeds the emission (the advected heat is carried into the hole).
    ``L``
        Bolometric luminosity [erg/s]: the integral over frequency of the disk
        spectrum of :meth:`spectrum` (Eddington-limited, fed at ``Mdot_rad``,
        R_out = R), or ``eta * Mdot_rad * c**2`` when the run was given an
        efficiency.
    ``L_Edd``
        Eddington luminosity ``4 pi G M_BH c / KAPPA_ES`` [erg/s].

    ``M_BH`` is in grams and every attribute in CGS; the conveniences in
    astronomers' units carry the unit in their name (``t_peak_days``,
    ``peak_Mdot_acc_msun_yr``, and the keys of :meth:`summary`).
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
        eta: float | None = None,
        inputs: dict[str, Any] | None = None,
        failure: RunFailure | Any = None,
        copy: bool = True,
    ) -> None:
        arr = np.array(data, dtype=np.float64, order="C") if copy else np.asarray(data, np.float64, order="C")
        rows = (len(RESULT_ROWS), len(RESULT_ROWS) + len(BRANCH_ROWS))
        if arr.ndim != 2 or arr.shape[0] not in rows or arr.shape[1] < 1:
            raise ValueError(f"data must have shape ({rows[0]}, n) or ({rows[1]}, n) with n >= 1, got {arr.shape}")
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
        self.failure = _run_failure(failure)

    # -- derived quantities -----------------------------------------------------

    @property
    def eta(self) -> float | None:
        """Explicit radiative efficiency of :attr:`L` in (0, 1], or None (spectral luminosity)."""
        return self._eta

    @eta.setter
    def eta(self, value: float | None) -> None:
        self._eta = _efficiency(value)

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
    def reports_branch(self) -> bool:
        """Whether the run has the rows of :data:`BRANCH_ROWS` (closure "advective")."""
        return self.data.shape[0] > len(RESULT_ROWS)

    @property
    def f_rad(self) -> np.ndarray:
        """Radiated fraction Q_rad / Q+ of the viscous heating (ones for a thin closure)."""
        return self.data[_ROW["f_rad"]] if self.reports_branch else np.ones(self.n)

    @property
    def branch(self) -> np.ndarray:
        """Thermal branch of each column: 0 thin, 1 advective (zeros for a thin closure)."""
        return self.data[_ROW["branch"]] if self.reports_branch else np.zeros(self.n)

    @property
    def Mdot_rad(self) -> np.ndarray:
        """Radiating accretion rate [g/s]: ``f_rad * Mdot_acc``, the rate the emission is fed at.

        The advected share of the heating, ``(1 - f_rad)``, is carried into the
        hole unradiated; for a thin closure this is ``Mdot_acc`` itself.
        """
        return self.f_rad * self.Mdot_acc if self.reports_branch else self.Mdot_acc

    @property
    def L(self) -> np.ndarray:
        """Bolometric luminosity [erg/s] at each column.

        Without an explicit efficiency (``eta`` None, the default) the integral
        over frequency of the same disk spectrum as :meth:`spectrum` and every
        band: a steady Newtonian disk from R_in to the run's radius R fed at
        :attr:`Mdot_rad` with the Eddington cap,
        ``3 G M_BH Mdot / (2 R_in) (1/3 - x + 2/3 x^1.5)``, ``x = R_in / R``
        below Eddington (to infinity it would radiate ``G M_BH Mdot / (2 R_in)``,
        1/12 of ``Mdot c^2`` at R_in = 6 G M_BH / c^2).  With ``eta`` given,
        ``eta * Mdot_rad * c**2`` instead; the two are never mixed.  A column
        without a disk outside R_in has L = 0.

        On the advective branch (closure "advective") only the radiated
        fraction ``f_rad`` of the heating is radiated: the emission is that of
        the Eddington-limited disk fed at ``f_rad * Mdot_acc``, the same for the
        bolometric, band and X-ray luminosities (one zone, one fraction for the
        whole disk).  On the thin branch ``f_rad`` is 1 to about 1e-5.
        """
        if self.eta is not None:
            return self.eta * self.Mdot_rad * C_CGS**2
        from velquor.observe import disk_luminosity

        mdot, r = self.Mdot_rad, self.R
        ok = np.isfinite(mdot) & np.isfinite(r) & (mdot > 0) & (r > self.R_in)
        lum = np.where(np.isfinite(mdot) & np.isfinite(r), 0.0, np.nan)
        if ok.any():
            lum[ok] = disk_luminosity(mdot[ok], self.M_BH, self.R_in, r[ok])
        return lum

    @property
    def efficiency(self) -> float:
        """``eta`` when given, else G M_BH / (2 R_in c^2), the spectral disk's efficiency to infinity."""
        return self.eta if self.eta is not None else G_CGS * self.M_BH / (2.0 * self.R_in * C_CGS**2)

    @property
    def L_Edd(self) -> float:
        """Eddington luminosity of the black hole for electron scattering [erg/s]."""
        return 4.0 * math.pi * G_CGS * self.M_BH * C_CGS / KAPPA_ES

    @property
    def completed(self) -> bool:
        """True when the run reached its requested end: it neither failed (:attr:`failure`) nor ran out of steps."""
        if self.failure is not None:
            return False
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

    @property
    def peak_Mdot_acc_msun_yr(self) -> float:
        """Largest accretion rate [M_sun/yr]."""
        return self.peak_Mdot_acc * YEAR / M_SUN

    @property
    def t_peak_days(self) -> float:
        """Time of the largest accretion rate [days after disruption]."""
        return self.t_peak / DAY

    def branch_episodes(self) -> list[BranchEpisode]:
        """The run cut into time ranges spent on one thermal branch.

        Returns
        -------
        list of BranchEpisode
            One record per contiguous range of columns on one branch, in time
            order: ``branch`` (0 thin, 1 advective), ``t_start`` and ``t_end``
            (times of the first and last columns of the range [s after
            disruption]), ``peak_Mdot_acc`` [g/s] and ``peak_L`` [erg/s] within
            it.  A run of a thin closure is one thin episode.  A jump happens
            between the last column of one episode and the first of the next.
        """
        branch = self.branch.astype(np.int64)
        edges = np.concatenate(([0], np.flatnonzero(np.diff(branch)) + 1, [self.n]))
        mdot, lum, t = self.Mdot_acc, self.L, self.t
        return [
            BranchEpisode(int(branch[i]), float(t[i]), float(t[j - 1]), float(np.nanmax(mdot[i:j])),
                          float(np.nanmax(lum[i:j])))
            for i, j in zip(edges[:-1], edges[1:])
        ]  # fmt: skip

    def validity(self) -> list[DomainExit]:
        """Time ranges in which the run is outside the domain of the model.

        Four limits are checked column by column:

        ``"L / L_Edd > 1"`` (thin closures)
            Above the Eddington luminosity (:attr:`L` over :attr:`L_Edd`) a
            thin disk would blow a wind: the model no longer describes it.
        ``"tau < 1"``
            Optically thin: the disk does not cool as a blackbody.
        ``"T_eff < 1e4 K"`` (electron-scattering opacity)
            Hydrogen recombines at the photosphere, so scattering by free
            electrons is no longer the opacity.
        ``"H / R > 0.3"`` (thin closures)
            The disk is not thin.

        The closure and opacity are those recorded in :attr:`inputs`; a run
        that records none is taken to have the model's defaults (``"gas"``,
        ``"es"``).  Nothing is warned: fits run millions of models.

        Returns
        -------
        list of DomainExit
            One record per contiguous range of columns that crosses a limit,
            grouped by condition in the order above and by time within one:
            ``condition``, ``t_start`` and ``t_end`` (times of the first and
            last columns in the range [s after disruption]) and ``extreme``,
            the value furthest past the limit (largest L / L_Edd or H / R,
            smallest tau or T_eff [K]).  Empty when the whole run is inside
            the domain.  NaN values cross no limit.
        """
        thin = self.inputs.get("closure", "gas") in THIN_CLOSURES
        # (condition, applies, values, limit, outside above the limit)
        checks = [
            ("L / L_Edd > 1", thin, lambda: self.L / self.L_Edd, 1.0, True),
            ("tau < 1", True, lambda: self.tau, 1.0, False),
            ("T_eff < 1e4 K", self._electron_scattering(), lambda: self.T_eff, 1e4, False),
            ("H / R > 0.3", thin, lambda: self.H_over_R, 0.3, True),
        ]
        t = self.t
        ranges = []
        for condition, applies, values, limit, above in checks:
            if not applies:
                continue
            x = values()
            outside = x > limit if above else x < limit
            edges = np.flatnonzero(np.diff(np.concatenate(([0], outside.view(np.int8), [0]))))
            for i, j in zip(edges[::2], edges[1::2]):
                part = x[i:j]
                extreme = np.max(part) if above else np.min(part)
                ranges.append(DomainExit(condition, float(t[i]), float(t[j - 1]), float(extreme)))
        return ranges

    def _electron_scattering(self) -> bool:
        """Whether the recorded opacity is electron scattering alone (the default)."""
        if self.inputs.get("opal_table") is not None:
            return False
        opacity = self.inputs.get("opacity", "es")
        if opacity is None or (isinstance(opacity, str) and opacity == "es"):
            return True
        from velquor.radiation.opacity import ElectronScatteringOpacity

        return isinstance(opacity, ElectronScatteringOpacity)

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
        return _log_slope(self.t, self.Mdot_acc, self.t[-1] / 10.0**decades, self.t[-1])

    # -- export -------------------------------------------------------------------

    def to_dict(self) -> dict[str, np.ndarray]:
        """All rows and derived rates as a dictionary of equal-length arrays.

        Keys are the row names of :data:`RESULT_ROWS` (and of :data:`BRANCH_ROWS`
        for the advective closure) followed by ``Mdot_acc``, ``Mdot_fb`` and
        ``L`` (CGS), so ``pandas.DataFrame(run.to_dict())`` gives one row per
        step.
        """
        names = RESULT_ROWS + (BRANCH_ROWS if self.reports_branch else ())
        d = {name: np.array(self.data[k]) for k, name in enumerate(names)}
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
            "inputs": self.inputs, "failure": None if self.failure is None else self.failure._asdict(),
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

    def save_csv(self, path: str | os.PathLike[str], extra: dict[str, Any] | None = None) -> None:
        """Write one line per step with every row and the derived rates.

        The file opens with ``#`` comment lines describing the run, then a
        header naming each column with its unit (``t [s]``, ``M [g]``, ...),
        then the values (CGS, comma separated).  ``extra`` appends columns: a
        dict of header text (with its unit) to one value per step.
        """
        d = self.to_dict()
        units = dict(zip(RESULT_ROWS, RESULT_UNITS)) | {name: "" for name in BRANCH_ROWS} | _DERIVED_UNITS
        names = [f"{k} [{units[k]}]" if units[k] else k for k in d]
        for key, values in (extra or {}).items():
            column = np.asarray(values, dtype=np.float64)
            if column.shape != (self.n,):
                raise ValueError(f"extra column {key!r} must hold {self.n} values, got shape {column.shape}")
            names.append(key)
            d[key] = column
        comments = [
            "velquor one-zone TDE disk run (CGS units)",
            f"M_BH = {self.M_BH:.10g} g, R_in = {self.R_in:.10g} cm, R_c = {self.R_c:.10g} cm",
            f"t_fb = {self.t_fb:.10g} s, M_fb_0 = {self.M_fb_0:.10g} g/s, beta_fb = {self.beta_fb:.10g}, "
            f"eta = {self.eta}",
            "Mdot_acc = DISK_F0 M / t_visc (= Mdot_fb - dM_dt); "
            + ("L = eta Mdot_acc c^2" if self.eta is not None else "L = integral of the disk spectrum (R_out = R)")
            + ("; the emission is fed at f_rad Mdot_acc (the advected heat is not radiated)" if self.reports_branch
               else ""),
            "inputs: " + json.dumps(self.inputs, default=_json_default),
        ]
        if self.failure is not None:
            f = self.failure
            comments.append(
                f"failed: {f.status_name} ({f.status}) at t = {f.t_failed:.10g} s, M = {f.state[0]:.10g} g, "
                f"J = {f.state[1]:.10g} g cm^2 s^-1; the columns computed before it follow: "
                + " ".join(f.message.split())
            )
        table = np.column_stack(list(d.values()))
        with open(path, "w", encoding="utf-8", newline="\n") as f:
            for line in comments:
                f.write("# " + line + "\n")
            f.write(",".join(names) + "\n")
            np.savetxt(f, table, delimiter=",", fmt="%.10e")

    # -- display ------------------------------------------------------------------

    def summary(self) -> dict[str, float]:
        """Key numbers of the run, each key naming its unit.

        Returns
        -------
        dict
            ``n_steps``; ``t_last_days`` (time of the last column [days]);
            ``peak_Mdot_acc_msun_yr`` [M_sun/yr] and ``t_peak_days`` [days];
            ``peak_L`` [erg/s] and ``peak_L_Edd`` (the luminosity at the peak
            accretion rate, and the same over :attr:`L_Edd`);
            ``max_L_Edd`` and ``t_max_L_days`` (the largest L / L_Edd of the
            run and its time [days]); ``M_end_msun`` (disk mass at the end
            [M_sun]); ``late_time_slope``; and, from
            :meth:`branch_episodes`, ``t_left_advective_days`` and
            ``t_last_left_advective_days`` (the first column back on the thin
            branch after the first and after the last advective episode
            [days]; NaN if the disk never returned), ``n_limit_cycles`` (the
            advective episodes after the first return) and
            ``limit_cycle_period_days`` (the mean time between the onsets of
            consecutive advective episodes [days], NaN without a cycle).
            The keys ``t_end``, ``peak_Mdot_acc``, ``t_peak`` and ``M_end`` of
            earlier versions still answer, with a ``DeprecationWarning``.
        """
        peak_L = float(self.L[self.i_peak])
        lum = self.L / self.L_Edd
        i_max = int(np.nanargmax(lum)) if np.isfinite(lum).any() else 0
        return _Summary(
            n_steps=self.n,
            t_last_days=float(self.t[-1]) / DAY,
            peak_Mdot_acc_msun_yr=self.peak_Mdot_acc_msun_yr,
            t_peak_days=self.t_peak_days,
            peak_L=peak_L,
            peak_L_Edd=peak_L / self.L_Edd,
            max_L_Edd=float(lum[i_max]),
            t_max_L_days=float(self.t[i_max]) / DAY,
            M_end_msun=float(self.M[-1]) / M_SUN,
            late_time_slope=self.late_time_slope(),
            **_branch_summary(self.branch_episodes()),
        )

    def __repr__(self) -> str:
        s = self.summary()
        return (
            f"<DiskRun: {self.n} steps, t = {float(self.t[0]) / DAY:.4g} .. {s['t_last_days']:.4g} days, "
            f"peak Mdot_acc = {s['peak_Mdot_acc_msun_yr']:.3g} M_sun/yr at t = {s['t_peak_days']:.4g} days"
            + ("" if self.completed else ", stopped before t_end")
            + ("" if self.failure is None else
               f" by {self.failure.status_name} at t = {self.failure.t_failed / DAY:.4g} days")
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

    # -- what a telescope sees (velquor.observe) ---------------------------------------
    #
    # The disk at each column (or time) radiates as the steady thin disk of
    # velquor.observe.disk_spectrum fed at Mdot_rad (= Mdot_acc on a thin
    # closure), from R_in to R_out_factor * R.

    def disk_state(self, t: Any = None, R_out_factor: float = 1.0) -> tuple[np.ndarray, np.ndarray]:
        """The emitting disk: (Mdot_rad [g/s], R_out = R_out_factor * R [cm]).

        At the columns, or at times ``t`` [s since disruption, within the run]
        interpolated linearly in (ln t, ln Mdot_rad) and (ln t, ln R); these are
        the arrays a :class:`velquor.observe.Photometer` takes.  ``Mdot_rad`` is
        :attr:`Mdot_acc` for a thin closure and ``f_rad * Mdot_acc`` for the
        advective one (the advected heat is not radiated).
        """
        factor = _positive("R_out_factor", R_out_factor)
        mdot, r = self.Mdot_rad, self.R
        if t is None:
            return np.array(mdot), factor * r
        tt = np.array(t, dtype=np.float64, ndmin=1)
        lo, hi = float(self.t[0]), float(self.t[-1])
        if tt.ndim != 1:
            raise ValueError(f"t must be a 1-D array of times [s], got shape {tt.shape}")
        bad = ~((tt >= lo) & (tt <= hi))
        if bad.any():
            raise ValueError(f"t must be times in [{lo:.6g}, {hi:.6g}] s covered by the run, got {float(tt[bad][0])!r}")
        log_t = np.log(self.t)
        return (np.exp(np.interp(np.log(tt), log_t, np.log(mdot))),
                factor * np.exp(np.interp(np.log(tt), log_t, np.log(r))))  # fmt: skip

    def spectrum(
        self, nu: Any, t: Any = None, *, f_col: float | str = 1.0, inclination: float | None = None,
        eddington_limited: bool = True, R_out_factor: float = 1.0,
    ) -> np.ndarray:  # fmt: skip
        """Rest-frame spectral luminosity L_nu [erg s^-1 Hz^-1] of the disk.

        Parameters
        ----------
        nu : array_like, 1-D
            Rest-frame frequencies [Hz].
        t : array_like, optional
            Times since disruption [s] within the run; default every column.
        f_col, inclination, eddington_limited
            As for :func:`velquor.observe.disk_spectrum`.
        R_out_factor : float, optional
            Outer edge of the emitting disk in units of the run's radius R; default 1.

        Returns
        -------
        numpy.ndarray, shape (n_t, len(nu))
        """
        from velquor.observe import disk_spectrum

        mdot, r_out = self.disk_state(t, R_out_factor)
        return disk_spectrum(nu, mdot, self.M_BH, self.R_in, r_out, f_col=f_col, inclination=inclination,
                             eddington_limited=eddington_limited)  # fmt: skip

    def _photometry(self, channel: str, t: Any, R_out_factor: float, inclination: float | None, **options: Any) -> np.ndarray:
        from velquor.observe import Photometer

        mdot, r_out = self.disk_state(t, R_out_factor)
        phot = Photometer([channel], **options)
        return phot(mdot, r_out, 0, M_BH=self.M_BH, R_in=self.R_in, inclination=inclination)

    def band_light_curve(
        self, band: str, t: Any = None, *, z: float = 0.0, d_L: float | None = None, unit: str = "mag",
        f_col: float | str = 1.0, inclination: float | None = None, eddington_limited: bool = True,
        R_out_factor: float = 1.0, ebv_mw: float = 0.0, ebv_host: float = 0.0,
    ) -> np.ndarray:  # fmt: skip
        """The disk seen through a bandpass, at the run's columns or at times ``t``.

        Parameters
        ----------
        band : str
            A bandpass name of :func:`velquor.observe.bandpass_names` (or an alias).
        t : array_like, optional
            Rest-frame times since disruption [s]; default every column.  They
            are observed (1 + z) t after the disruption.
        z : float, optional
            Redshift (>= 0); default 0.
        d_L : float, optional
            Luminosity distance [cm]; default from ``z`` (Planck 2018).
        unit : {"mag", "uJy", "nuLnu"}
            Observed AB magnitude or band-averaged flux density [microjansky]
            (both need z > 0 or ``d_L``), or rest-frame nu L_nu [erg/s] at the
            band's pivot frequency (monochromatic, intrinsic).
        f_col, inclination, eddington_limited
            As for :func:`velquor.observe.disk_spectrum`.
        R_out_factor : float, optional
            Outer edge in units of the run's radius R; default 1.
        ebv_mw, ebv_host : float, optional
            Milky Way (observed frame) and host (rest frame) E(B-V), Fitzpatrick
            (1999), R_V = 3.1; not applied to ``"nuLnu"``.

        Returns
        -------
        numpy.ndarray
        """
        units = ("mag", "uJy", "nuLnu")
        if unit not in units:
            raise ValueError(f"unit must be one of {', '.join(map(repr, units))}, got {unit!r}")
        channel = f"nuLnu:{band}" if unit == "nuLnu" else band
        values = self._photometry(channel, t, R_out_factor, inclination, z=z, d_L=d_L, f_col=f_col,
                                  ebv_mw=ebv_mw, ebv_host=ebv_host, eddington_limited=eddington_limited)  # fmt: skip
        if unit == "mag":
            from velquor.observe import ab_magnitude

            return np.asarray(ab_magnitude(values))
        return values / 1e-29 if unit == "uJy" else values

    def xray_flux(
        self, t: Any = None, *, z: float = 0.0, d_L: float | None = None, band: tuple[float, float] = (0.3, 10.0),
        N_H: float = 0.0, f_col: float | str = 1.0, inclination: float | None = None,
        eddington_limited: bool = True, R_out_factor: float = 1.0,
    ) -> np.ndarray:  # fmt: skip
        """Observed X-ray band flux [erg s^-1 cm^-2] over ``band`` [keV], absorbed by ``N_H`` [cm^-2].

        Other parameters as for :meth:`band_light_curve`; needs z > 0 or ``d_L``.
        """
        return self._photometry("xrt", t, R_out_factor, inclination, z=z, d_L=d_L, xray_band=band, N_H=N_H,
                                f_col=f_col, eddington_limited=eddington_limited)  # fmt: skip

    def xray_luminosity(
        self, t: Any = None, *, band: tuple[float, float] = (0.3, 10.0), f_col: float | str = 1.0,
        inclination: float | None = None, eddington_limited: bool = True, R_out_factor: float = 1.0,
    ) -> np.ndarray:  # fmt: skip
        """Rest-frame X-ray band luminosity [erg/s] over ``band`` [keV] (unabsorbed)."""
        return self._photometry("Lx", t, R_out_factor, inclination, xray_band=band, f_col=f_col,
                                eddington_limited=eddington_limited)  # fmt: skip


def _branch_summary(episodes: list[BranchEpisode]) -> dict[str, float]:
    """When a run left the advective branch and how often it came back (see :meth:`DiskRun.summary`)."""
    returns = [k for k in range(1, len(episodes)) if episodes[k].branch == 0 and episodes[k - 1].branch == 1]
    up = [k for k, e in enumerate(episodes) if e.branch == 1]
    cycles = [k for k in up if returns and k > returns[0]]
    onsets = [episodes[k].t_start for k in up]
    return {
        "t_left_advective_days": episodes[returns[0]].t_start / DAY if returns else math.nan,
        "t_last_left_advective_days": episodes[returns[-1]].t_start / DAY if returns else math.nan,
        "n_limit_cycles": len(cycles),
        "limit_cycle_period_days": float(np.mean(np.diff(onsets))) / DAY if cycles else math.nan,
    }


def _efficiency(value: Any) -> float | None:
    if value is None:
        return None
    x = _real("eta", value)
    if not 0.0 < x <= 1.0:
        raise ValueError(f"eta must be in (0, 1], got {x!r}")
    return x


def _log_slope(t: np.ndarray, y: np.ndarray, t_lo: float, t_hi: float) -> float:
    """Least-squares d ln y / d ln t over ``t_lo <= t <= t_hi``; NaN with fewer than three usable columns."""
    sel = (t >= t_lo) & (t <= t_hi) & (t > 0) & (y > 0) & np.isfinite(y)
    if np.count_nonzero(sel) < 3 or np.ptp(t[sel]) == 0:
        return math.nan
    return float(np.polyfit(np.log(t[sel]), np.log(y[sel]), 1)[0])


class _Summary(dict):  # type: ignore[type-arg]
    """The summary dictionary; the keys of earlier versions answer with a ``DeprecationWarning``."""

    _RENAMED = {
        "t_end": "t_last_days",
        "peak_Mdot_acc": "peak_Mdot_acc_msun_yr",
        "t_peak": "t_peak_days",
        "M_end": "M_end_msun",
    }

    def _renamed(self, key: Any) -> str:
        new = self._RENAMED[key]
        warnings.warn(
            f"summary key {key!r} is deprecated: use {new!r} (the same value; the unit is in the name)",
            DeprecationWarning,
            stacklevel=3,
        )
        return new

    def __missing__(self, key: Any) -> Any:
        if key not in self._RENAMED:
            raise KeyError(key)
        return self[self._renamed(key)]

    def get(self, key: Any, default: Any = None) -> Any:
        if key not in self and key in self._RENAMED:
            return self[self._renamed(key)]
        return super().get(key, default)


for _k, _name in enumerate(RESULT_ROWS):
    setattr(DiskRun, _name, _row(_k))
del _k, _name


def _run_failure(value: Any) -> RunFailure | None:
    """A :class:`RunFailure` from itself, from its ``_asdict()`` (a saved run) or None."""
    if value is None or isinstance(value, RunFailure):
        return value
    if isinstance(value, dict):
        try:
            f = RunFailure(**value)
            state = tuple(float(x) for x in f.state)
            if len(state) != 2:
                raise ValueError(state)
            return RunFailure(int(f.status), str(f.status_name), str(f.message), float(f.t_failed), state)
        except (TypeError, ValueError):
            pass
    raise TypeError(f"failure must be a RunFailure, its _asdict() or None, got {value!r}")


def _json_default(obj: Any) -> Any:
    if isinstance(obj, (np.floating, np.integer, np.bool_)):
        return obj.item()
    if isinstance(obj, os.PathLike):
        return os.fspath(obj)
    return repr(obj)
