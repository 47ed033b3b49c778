"""One-zone disk of a tidal disruption event, in astronomers' units."""

import contextvars
import os
from typing import Any, Final, NamedTuple

import numpy as np
import numpy.typing as npt
from matplotlib.figure import Figure

from velquor.dynamics.accretion.one_zone.models._hollin import FullPressureClosure
from velquor.radiation.opacity.murkwell import C_GreyMurkwell

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

_F64 = npt.NDArray[np.float64]

GM_SUN: Final[float]
M_SUN: Final[float]
R_SUN: Final[float]
C_CGS: Final[float]
DAY: Final[float]
YEAR: Final[float]
CLOSURES: Final[dict[str, bool]]
THIN_CLOSURES: Final[frozenset[str]]
OPACITIES: Final[tuple[str, ...]]
INTEGRATORS: Final[tuple[str, ...]]
DEFAULT_INTEGRATOR: str
RESULT_ROWS: Final[tuple[str, ...]]
RESULT_UNITS: Final[tuple[str, ...]]
BRANCH_ROWS: Final[tuple[str, ...]]
MAX_RESULT_BYTES: int
_WARN_TRUNCATION: contextvars.ContextVar[bool]

class PartialDisruptionWarning(UserWarning): ...

class BranchEpisode(NamedTuple):
    branch: int
    t_start: float
    t_end: float
    peak_Mdot_acc: float
    peak_L: float

class DomainExit(NamedTuple):
    condition: str
    t_start: float
    t_end: float
    extreme: float

class RunFailure(NamedTuple):
    status: int
    status_name: str
    message: str
    t_failed: float
    state: tuple[float, float]

def available_integrators() -> tuple[str, ...]: ...
def main_sequence_radius(M_star: float) -> float: ...
def r_isco(spin: float) -> float: ...
def r_mb(spin: float) -> float: ...
def _log_slope(t: _F64, y: _F64, t_lo: float, t_hi: float) -> float: ...
def _real(name: str, value: Any) -> float: ...

class TDEDisk:
    M_BH: float
    M_star: float
    R_star: float
    beta: float
    spin: float
    M_bound: float
    alpha: float
    mu: float
    closure: str
    xi: float | None
    fallback: bool
    epsilon: float
    t_end_days: float
    max_steps: int
    beta_fb: float
    seed_mass: float
    eta: float | None
    integrator: str
    rtol: float
    n_out: int
    opacity: C_GreyMurkwell
    opacity_name: str
    M_BH_g: float
    M_star_g: float
    M_bound_g: float
    R_t: float
    R_p: float
    R_c: float
    R_in: float
    R_mb: float
    t_fb: float
    M_fb_0: float
    t_start: float
    t_end_s: float
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
        opacity: str | C_GreyMurkwell | None = "es",
        fallback: bool = True,
        epsilon: float = 1e-3,
        t_end_days: float | None = None,
        max_steps: int = 200_000,
        beta_fb: float = ...,
        seed_mass: float = 1e-3,
        eta: float | None = None,
        integrator: str | None = None,
        rtol: float = 1e-6,
        n_out: int = 2000,
        opal_table: str | os.PathLike[str] | None = None,
        opal_table_number: int | None = None,
        t_end: float | None = None,
    ) -> None: ...
    @property
    def t_end(self) -> float: ...
    @property
    def params(self) -> dict[str, Any]: ...
    @property
    def run_params(self) -> dict[str, float]: ...
    @property
    def initial_state(self) -> _F64: ...
    def make_closure(self) -> FullPressureClosure: ...
    def run(self, on_failure: str = "raise", *, t_eval: npt.ArrayLike | None = None) -> DiskRun: ...

class DiskRun:
    data: _F64
    M_BH: float
    R_in: float
    R_c: float
    t_fb: float
    M_fb_0: float
    beta_fb: float
    t_end: float
    inputs: dict[str, Any]
    failure: RunFailure | None
    def __init__(
        self,
        data: npt.ArrayLike,
        *,
        M_BH: float,
        R_in: float,
        R_c: float = ...,
        t_fb: float = ...,
        M_fb_0: float = 0.0,
        beta_fb: float = ...,
        t_end: float = ...,
        eta: float | None = None,
        inputs: dict[str, Any] | None = None,
        failure: RunFailure | dict[str, Any] | None = None,
        copy: bool = True,
    ) -> None: ...
    @property
    def step(self) -> _F64: ...
    @property
    def t(self) -> _F64: ...
    @property
    def M(self) -> _F64: ...
    @property
    def J(self) -> _F64: ...
    @property
    def R(self) -> _F64: ...
    @property
    def Sigma(self) -> _F64: ...
    @property
    def Omega(self) -> _F64: ...
    @property
    def T_eff(self) -> _F64: ...
    @property
    def T_c(self) -> _F64: ...
    @property
    def tau(self) -> _F64: ...
    @property
    def cs(self) -> _F64: ...
    @property
    def nu(self) -> _F64: ...
    @property
    def q_visc(self) -> _F64: ...
    @property
    def dM_dt(self) -> _F64: ...
    @property
    def dJ_dt(self) -> _F64: ...
    @property
    def dt(self) -> _F64: ...
    @property
    def t_visc(self) -> _F64: ...
    @property
    def H(self) -> _F64: ...
    @property
    def H_over_R(self) -> _F64: ...
    @property
    def rho(self) -> _F64: ...
    @property
    def eta(self) -> float | None: ...
    @eta.setter
    def eta(self, value: float | None) -> None: ...
    @property
    def n(self) -> int: ...
    @property
    def fallback(self) -> bool: ...
    @property
    def Mdot_fb(self) -> _F64: ...
    @property
    def Mdot_acc(self) -> _F64: ...
    @property
    def reports_branch(self) -> bool: ...
    @property
    def f_rad(self) -> _F64: ...
    @property
    def branch(self) -> _F64: ...
    @property
    def Mdot_rad(self) -> _F64: ...
    @property
    def L(self) -> _F64: ...
    @property
    def L_Edd(self) -> float: ...
    @property
    def completed(self) -> bool: ...
    @property
    def i_peak(self) -> int: ...
    @property
    def peak_Mdot_acc(self) -> float: ...
    @property
    def t_peak(self) -> float: ...
    @property
    def peak_Mdot_acc_msun_yr(self) -> float: ...
    @property
    def t_peak_days(self) -> float: ...
    def branch_episodes(self) -> list[BranchEpisode]: ...
    def validity(self) -> list[DomainExit]: ...
    def late_time_slope(self, decades: float = 1.0) -> float: ...
    def to_dict(self) -> dict[str, _F64]: ...
    @property
    def meta(self) -> dict[str, Any]: ...
    def save_npz(self, path: str | os.PathLike[str]) -> None: ...
    @classmethod
    def load_npz(cls, path: str | os.PathLike[str]) -> DiskRun: ...
    def save_csv(self, path: str | os.PathLike[str], extra: dict[str, Any] | None = None) -> None: ...
    def summary(self) -> dict[str, float]: ...
    def plot(self, fig: Figure | None = None) -> Figure: ...
    @property
    def efficiency(self) -> float: ...
    def disk_state(self, t: npt.ArrayLike | None = None, R_out_factor: float = 1.0) -> tuple[_F64, _F64]: ...
    def spectrum(
        self,
        nu: npt.ArrayLike,
        t: npt.ArrayLike | None = None,
        *,
        f_col: float | str = 1.0,
        inclination: float | None = None,
        eddington_limited: bool = True,
        R_out_factor: float = 1.0,
    ) -> _F64: ...
    def band_light_curve(
        self,
        band: str,
        t: npt.ArrayLike | None = None,
        *,
        z: float = 0.0,
        d_L: float | None = None,
        unit: str = "mag",
        f_col: float | str = 1.0,
        inclination: float | None = None,
        eddington_limited: bool = True,
        R_out_factor: float = 1.0,
        ebv_mw: float = 0.0,
        ebv_host: float = 0.0,
    ) -> _F64: ...
    def xray_flux(
        self,
        t: npt.ArrayLike | None = None,
        *,
        z: float = 0.0,
        d_L: float | None = None,
        band: tuple[float, float] = (0.3, 10.0),
        N_H: float = 0.0,
        f_col: float | str = 1.0,
        inclination: float | None = None,
        eddington_limited: bool = True,
        R_out_factor: float = 1.0,
    ) -> _F64: ...
    def xray_luminosity(
        self,
        t: npt.ArrayLike | None = None,
        *,
        band: tuple[float, float] = (0.3, 10.0),
        f_col: float | str = 1.0,
        inclination: float | None = None,
        eddington_limited: bool = True,
        R_out_factor: float = 1.0,
    ) -> _F64: ...
