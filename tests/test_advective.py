"""The advective closure: its balance and root selection against an independent
solution of the same equations, its branch tracking along the S-curve, runs of
the reference disruption with both integrators (branch jumps located, mass
conserved), and xi = 0 as the gas-plus-radiation closure bit for bit."""

import ctypes
import math

import numpy as np
import pytest
from scipy.optimize import brentq, minimize_scalar

from velquor.dynamics.accretion.one_zone import IntegrationError, Status
from velquor.dynamics.accretion.one_zone import closure as C
from velquor.dynamics.accretion.one_zone._writer import EXTENDED_RESULT_FIELDS, RESULT_FIELDS
from velquor.dynamics.accretion.one_zone.adaptive import run_one_zone_model_adaptive
from velquor.dynamics.accretion.one_zone.integrator import run_one_zone_model
from velquor.dynamics.accretion.one_zone.models._advective import AdvectiveClosure
from velquor.dynamics.accretion.one_zone.models._hollin import FullPressureClosure
from velquor.dynamics.accretion.one_zone.physics._parcelwrap import CAdvection
from velquor.tde import DAY, M_SUN, YEAR, TDEDisk

from native_records import ClosureResult, DiskDerived, DiskState, address, native, params_of, ref

# The reference disruption at its circularisation radius.
M_BH = 1e6 * M_SUN
R_C = 1.3914e13
OMEGA = math.sqrt(C.G_CGS * M_BH / R_C**3)
ALPHA, MU = 0.1, 0.6
RUN_PARAMS = {"log_M_BH": math.log(M_BH), "log_R_in": math.log(8.85975e11), "alpha": ALPHA}
ROW = {name: k for k, (name, _, _) in enumerate(EXTENDED_RESULT_FIELDS)}


def closure(xi=1.0, with_fallback=False):
    c = AdvectiveClosure(with_fallback, xi=xi)
    c.bind_runtime_parameters(RUN_PARAMS)
    return c


# ---------------------------------------------------------------------------
# The balance, written out independently (NumPy, electron scattering)
# ---------------------------------------------------------------------------

def sound_speed(T, Sigma, Omega=OMEGA):
    g = C.K_B_CGS * T / (MU * C.M_P_CGS)
    b = math.sqrt(2 * math.pi) * C.RAD_A_CGS * T**4 / (3 * Sigma * Omega)
    return 0.5 * (b + np.hypot(b, 2 * np.sqrt(g)))


def f_radiative(x, Sigma):
    """ln(Q+ / Q_rad): the thin disk's residual."""
    cs = sound_speed(np.exp(x), Sigma)
    return np.log(27 / 32 * ALPHA * C.KAPPA_ES * OMEGA * Sigma**2 * cs**2 / C.SIGMA_SB_CGS) - 4 * x


def f_advective(x, Sigma, xi=1.0):
    A = 4 * xi * C.DISK_B / 9 * (sound_speed(np.exp(x), Sigma) / (OMEGA * R_C)) ** 2
    return -np.log(np.exp(-f_radiative(x, Sigma)) + A)


def independent_roots(Sigma, xi=1.0):
    """Every root in [1e3, 1e9] K, from a fine scan refined by brentq."""
    x = np.linspace(math.log(1e3), math.log(1e9), 4001)
    f = f_advective(x, Sigma, xi)
    cross = np.flatnonzero(np.sign(f[:-1]) != np.sign(f[1:]))
    return [brentq(f_advective, x[i], x[i + 1], args=(Sigma, xi), xtol=1e-15, rtol=1e-15) for i in cross]


def single_step(Sigma, xi=1.0):
    """One column at Sigma on the ring at R_c (a first solve)."""
    M = Sigma * C.DISK_A * math.pi * R_C**2
    state = np.array([M, C.DISK_XI * M * math.sqrt(C.G_CGS * M_BH * R_C)])
    return run_one_zone_model(state, 0.0, 1.0, 1, closure(xi))[:, 0]


@pytest.mark.parametrize("Sigma, T_c, Mdot_msun_yr, radiated", [
    (3e4, 1.195e6, 14.4, 5.4e-3),
    (1e5, 1.615e6, 48.1, 1.6e-3),
])  # fmt: skip
def test_advective_branch_against_an_independent_root(Sigma, T_c, Mdot_msun_yr, radiated):
    column = single_step(Sigma)
    (x,) = independent_roots(Sigma)  # above the thin branch's end: the advective root alone
    cs = sound_speed(math.exp(x), Sigma)
    mdot = C.DISK_B * math.pi * ALPHA * cs**2 / OMEGA * Sigma  # B pi nu Sigma
    assert column[ROW["Sigma"]] == pytest.approx(Sigma, rel=1e-12)
    assert column[ROW["T_c"]] == pytest.approx(math.exp(x), rel=1e-6)
    assert C.DISK_F0 * column[ROW["M"]] / column[ROW["t_visc"]] == pytest.approx(mdot, rel=1e-6)
    assert column[ROW["f_rad"]] == pytest.approx(math.exp(-f_radiative(x, Sigma)), rel=1e-6)
    assert column[ROW["branch"]] == 1.0
    # the oracles quoted in physics.md and the issue
    assert column[ROW["T_c"]] == pytest.approx(T_c, rel=1e-3)
    assert mdot * YEAR / M_SUN == pytest.approx(Mdot_msun_yr, rel=3e-3)
    assert column[ROW["f_rad"]] == pytest.approx(radiated, rel=0.05)


@pytest.mark.parametrize("xi", [0.3, 1.0, 3.0])
def test_aspect_ratio_tends_to_its_advective_limit(xi):
    column = single_step(1e9, xi)
    # at a root exp(-f) + A = 1, so H/R = sqrt((1 - f_rad) 9 / (4 xi B)) exactly
    assert column[ROW["H_over_R"]] == pytest.approx(math.sqrt(9 / (4 * xi * C.DISK_B)), rel=1e-5)
    assert column[ROW["H_over_R"]] == pytest.approx(
        math.sqrt((1 - column[ROW["f_rad"]]) * 9 / (4 * xi * C.DISK_B)), rel=1e-9)


# ---------------------------------------------------------------------------
# Branch tracking, solve by solve (the closure called directly)
# ---------------------------------------------------------------------------

class Chain:
    """Solves of advective_closure_func at R_c, each from the previous record."""

    def __init__(self):
        self.owner = closure()
        self.params = params_of(self.owner)
        self.params.advection = self.owner._advection_ptr
        self.solve = native("advective_closure_func")
        self.prev, self.room = ClosureResult(), (ctypes.c_double * 4)()  # "no previous solution"

    def __call__(self, Sigma):
        out, room = ClosureResult(), (ctypes.c_double * 4)()
        out.extra = ctypes.cast(room, type(out.extra))
        status = self.solve(ref(DiskState()), ref(DiskDerived(R_C, Sigma, OMEGA)), ref(self.params), ref(self.prev),
                            ref(out))
        assert status == 0
        self.prev, self.room = out, room
        return math.exp(out.log_T_c), int(room[1])


def fold(Sigma_lo, Sigma_hi, x_lo, x_hi, sign):
    """The Sigma at which the residual's extremum in [x_lo, x_hi] (a minimum for
    sign +1, a maximum for -1) touches zero: where a pair of roots is born."""
    def extremum(Sigma):
        best = minimize_scalar(lambda x: sign * f_advective(x, Sigma), bounds=(x_lo, x_hi), method="bounded",
                               options={"xatol": 1e-12})
        return best.fun
    return brentq(extremum, Sigma_lo, Sigma_hi, xtol=1e-6)


def test_branches_are_kept_while_they_exist_and_left_where_they_end():
    step = 1.002
    sigma_max = fold(1.5e4, 3e4, math.log(1.5e5), math.log(5e5), +1)  # the thin branch's end
    sigma_min = fold(200.0, 1e3, math.log(2e5), math.log(1e6), -1)    # the advective branch's end
    assert sigma_max == pytest.approx(2.02e4, rel=5e-3) and sigma_min == pytest.approx(420.0, rel=0.02)

    chain, Sigma, branch = Chain(), 1e4, 0
    while branch == 0 and Sigma < 1e5:  # bounded: a label that never flips fails, never hangs
        T_before = chain(Sigma)[0]
        Sigma *= step
        T, branch = chain(Sigma)
        roots = independent_roots(Sigma)
        # every solve takes a stable root: the lowest while the thin branch exists, then the highest
        assert T == pytest.approx(math.exp(roots[0] if branch == 0 else roots[-1]), rel=1e-8)
    assert sigma_max < Sigma < sigma_max * step**2 and T > 4 * T_before

    while branch == 1 and Sigma > 10.0:
        Sigma /= step
        T, branch = chain(Sigma)
        roots = independent_roots(Sigma)
        assert T == pytest.approx(math.exp(roots[-1] if branch == 1 else roots[0]), rel=1e-8)
        if len(roots) == 3 and branch == 1:
            assert T > math.exp(roots[1])  # never the middle root
    assert sigma_min / step**2 < Sigma < sigma_min


@pytest.mark.parametrize("side", [1.001, 1 / 1.001])
def test_never_the_middle_root(side):
    low, middle, high = independent_roots(1e4)
    chain = Chain()
    chain.prev.log_T_c = middle + math.log(side)  # just off the unstable equilibrium
    T, branch = chain(1e4)
    assert T == pytest.approx(math.exp(high if side > 1 else low), rel=1e-8)
    assert branch == (1 if side > 1 else 0)  # no history: labelled by what the root does


def test_closure_refuses_a_record_without_advection():
    owner = closure()
    params = params_of(owner)  # advection: None
    with pytest.raises(RuntimeError, match="^advective closure: the packed parameters carry no advection record$"):
        native("advective_closure_func", ctypes.PYFUNCTYPE)(
            ref(DiskState()), ref(DiskDerived(R_C, 1e4, OMEGA)), ref(params), ref(ClosureResult()),
            ref(ClosureResult()))


# ---------------------------------------------------------------------------
# The closure object
# ---------------------------------------------------------------------------

def test_construction_installs_the_advective_callbacks_and_record():
    c = AdvectiveClosure(True, 0.7, xi=0.25)
    assert isinstance(c, FullPressureClosure)
    assert c._closure_fn == address("advective_closure_func")
    assert c._writer_fn == address("extended_writer_func")
    assert c._source_fn == address("fallback_source_func")
    assert c.n_result_fields == len(EXTENDED_RESULT_FIELDS) == len(RESULT_FIELDS) + 2 == 22
    assert (c._mu, c._xi) == (0.7, 0.25)
    assert type(c._advection_obj) is CAdvection and c._advection_obj.xi == 0.25
    assert c._advection_ptr == c._advection_obj.ptr()
    assert ctypes.c_double.from_address(c._advection_ptr).value == 0.25
    default = AdvectiveClosure()
    assert (default._has_fallback, default._mu, default._xi, default._source_fn) == (0, 0.6, 1.0, None)


@pytest.mark.parametrize("xi, error, message", [
    (-1.0, ValueError, "xi must be finite and >= 0, got -1.0"),
    (float("nan"), ValueError, "xi must be finite and >= 0, got nan"),
    (float("inf"), ValueError, "xi must be finite and >= 0, got inf"),
    ("1", TypeError, "must be real number, not str"),
])  # fmt: skip
def test_xi_must_be_finite_and_not_negative(xi, error, message):
    with pytest.raises(error) as info:
        AdvectiveClosure(xi=xi)
    assert str(info.value) == message


@pytest.mark.parametrize("args, kwargs, message", [
    ((1, 2, 3, 4), {}, "__cinit__() takes at most 3 positional arguments (4 given)"),
    ((), {"gas_pressure_only": True}, "__cinit__() got an unexpected keyword argument 'gas_pressure_only'"),
    ((), {"mu": "0.6"}, "must be real number, not str"),
])  # fmt: skip
def test_construction_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        AdvectiveClosure(*args, **kwargs)
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# xi = 0 is the gas-plus-radiation closure
# ---------------------------------------------------------------------------

LIGHT = {
    "no fallback": dict(fallback=False, M_bound=0.004, t_end_days=1e5),
    "fallback of a light star": dict(M_star=0.05, R_star=1.0, t_end_days=1e5),
}


@pytest.mark.parametrize("integrator", ["euler", "adaptive"])
@pytest.mark.parametrize("kwargs", list(LIGHT.values()), ids=list(LIGHT))
def test_xi_zero_is_the_gas_plus_radiation_closure_bit_for_bit(kwargs, integrator):
    thin = TDEDisk(closure="gas+radiation", integrator=integrator, **kwargs).run()
    zero = TDEDisk(closure="advective", xi=0.0, integrator=integrator, **kwargs).run()
    assert zero.n == thin.n > 50
    assert np.array_equal(zero.data[:20], thin.data)  # every row of every column
    assert np.all(zero.branch == 0) and np.allclose(zero.f_rad, 1.0, rtol=0, atol=1e-11)


def test_xi_zero_fails_where_the_gas_plus_radiation_closure_fails():
    with pytest.raises(IntegrationError) as thin:
        TDEDisk(closure="gas+radiation", integrator="euler").run()
    with pytest.raises(IntegrationError) as zero:
        TDEDisk(closure="advective", xi=0.0, integrator="euler").run()
    assert thin.value.status == zero.value.status == Status.CLOSURE_EXPAND_FAIL
    assert thin.value.t_failed == zero.value.t_failed
    assert np.array_equal(thin.value.partial, zero.value.partial[:20])


# ---------------------------------------------------------------------------
# The reference disruption to 1000 years
# ---------------------------------------------------------------------------

REFERENCE = TDEDisk(closure="advective")


@pytest.fixture(scope="module")
def euler():
    return run_one_zone_model(REFERENCE.initial_state, REFERENCE.t_start, REFERENCE.t_end_s, 200_000,
                              REFERENCE.make_closure(), 1e-3)


@pytest.fixture(scope="module")
def adaptive():
    """Every accepted step (no output times), rtol 1e-6."""
    return run_one_zone_model_adaptive(REFERENCE.initial_state, REFERENCE.t_start, REFERENCE.t_end_s,
                                       REFERENCE.make_closure(), max_steps=100_000)


def jumps(data):
    """(time of the last column on the old branch, of the first on the new one, new branch) per jump."""
    k = np.flatnonzero(np.diff(data[ROW["branch"]]))
    return [(data[1, i], data[1, i + 1], data[ROW["branch"], i + 1]) for i in k]


def fallback_rate(t):
    return REFERENCE.M_fb_0 * (t / REFERENCE.t_fb) ** (-REFERENCE.beta_fb)


def test_both_integrators_reach_1000_years_with_the_same_branch_history(euler, adaptive):
    assert euler[1, -1] + euler[ROW["dt"], -1] >= REFERENCE.t_end_s and adaptive[1, -1] == REFERENCE.t_end_s
    je, ja = jumps(euler), jumps(adaptive)
    assert len(je) == len(ja) >= 2 and [j[2] for j in je] == [j[2] for j in ja]
    assert je[0][2] == 1 and je[1][2] == 0  # up onto the advective branch, then back to the thin one
    for (e0, e1, _), (a0, a1, _) in zip(je, ja):
        assert e0 - DAY < a0 <= a1 < e1 + DAY  # Euler's epsilon = 1e-3 places a jump within a day
    # the disk leaves the thin branch within days of t_fb, as its mass reaches Sigma_max
    assert REFERENCE.t_fb < ja[0][0] < REFERENCE.t_fb + 5 * DAY


def test_adaptive_jumps_are_located_and_converge_with_the_tolerance(adaptive):
    # the step that crosses a jump is as short as the error control asks: the
    # rate jumps by ~1e26 g/s, so rtol 1e-6 of ~1e31 g allows well under a minute
    for t0, t1, _ in jumps(adaptive):
        assert 0 < t1 - t0 < 60.0
    fine = run_one_zone_model_adaptive(REFERENCE.initial_state, REFERENCE.t_start, REFERENCE.t_end_s,
                                       REFERENCE.make_closure(), rtol=1e-9, max_steps=100_000)
    assert [j[2] for j in jumps(fine)] == [j[2] for j in jumps(adaptive)]
    for (a, _, _), (b, _, _) in zip(jumps(adaptive), jumps(fine)):
        assert abs(a - b) < 30.0  # seconds, at t ~ 1e7 s


def test_dense_output_never_spans_a_jump(adaptive):
    t_eval = np.geomspace(REFERENCE.t_start, REFERENCE.t_end_s, 3000)
    dense = run_one_zone_model_adaptive(REFERENCE.initial_state, REFERENCE.t_start, REFERENCE.t_end_s,
                                        REFERENCE.make_closure(), max_steps=100_000, t_eval=t_eval)
    # output times do not change the steps: each output is on the branch of the
    # accepted step that holds it (a step's end belongs to the step after it)
    k = np.minimum(np.searchsorted(adaptive[1], t_eval, side="right") - 1, adaptive.shape[1] - 1)
    assert np.array_equal(dense[ROW["branch"]], adaptive[ROW["branch"], k])
    assert np.array_equal(dense[ROW["dt"]], adaptive[ROW["dt"], np.minimum(k, adaptive.shape[1] - 2)])


def test_euler_conserves_mass_to_rounding(euler):
    t, M, dt = euler[1], euler[ROW["M"]], euler[ROW["dt"]]
    supply = fallback_rate(t) * dt
    accreted = C.DISK_F0 * M / euler[ROW["t_visc"]] * dt
    # the columns' supply minus accreted mass, step by step, is the disk's change
    balance = np.sum((supply - accreted)[:-1]) - (M[-1] - M[0])
    assert abs(balance) < 1e-13 * np.sum(supply)


@pytest.mark.parametrize("integrator", ["euler", "adaptive"])
def test_angular_momentum_budget_across_the_jumps(integrator):
    """Without fallback J - j_in M is conserved exactly by both integrators,
    through the jump from the advective to the thin branch."""
    disk = TDEDisk(closure="advective", fallback=False, integrator=integrator, n_out=0, t_end_days=1e4)
    run = disk.run()
    assert len(run.branch_episodes()) == 2  # a heavy ring: advective, then thin
    invariant = run.J - math.sqrt(C.G_CGS * disk.M_BH_g * disk.R_in) * run.M
    assert np.max(np.abs(invariant / invariant[0] - 1)) < 1e-13


def test_accretion_follows_the_supply_on_the_advective_branch(adaptive):
    t, mdot = adaptive[1], C.DISK_F0 * adaptive[ROW["M"]] / adaptive[ROW["t_visc"]]
    run = TDEDisk(closure="advective")
    l_edd = 4 * math.pi * C.G_CGS * run.M_BH_g * 2.99792458e10 / C.KAPPA_ES
    mdot_edd = l_edd / (C.G_CGS * run.M_BH_g / (2 * run.R_in))
    t_up = jumps(adaptive)[0][1]
    # past the drain of the mass gathered on the thin branch (a few viscous times)
    window = (adaptive[ROW["branch"]] == 1) & (fallback_rate(t) > 10 * mdot_edd) & (t > t_up + 3 * DAY)
    assert window.sum() > 10
    ratio = mdot[window] / fallback_rate(t[window])
    # the disk processes the supply within a factor 2, storing the rest as it spreads
    assert 0.5 < ratio.min() and ratio.max() < 1.0
    assert np.all(np.diff(adaptive[ROW["R"]][window]) > 0)


def test_adaptive_mass_budget(adaptive):
    """Supply (closed form) minus accreted mass (Simpson's rule on each accepted
    step, the midpoints by dense output) equals the disk's change, to the
    integration tolerance."""
    t = adaptive[1]
    t_eval = np.sort(np.concatenate([t, 0.5 * (t[:-1] + t[1:])]))
    dense = run_one_zone_model_adaptive(REFERENCE.initial_state, REFERENCE.t_start, REFERENCE.t_end_s,
                                        REFERENCE.make_closure(), max_steps=100_000, t_eval=t_eval)
    accreting = C.DISK_F0 * dense[ROW["M"]] / dense[ROW["t_visc"]]
    accreted = np.sum(np.diff(t) / 6 * (accreting[0:-1:2] + 4 * accreting[1::2] + accreting[2::2]))
    b = REFERENCE.beta_fb
    supplied = REFERENCE.M_fb_0 * REFERENCE.t_fb / (b - 1) * ((t[0] / REFERENCE.t_fb) ** (1 - b)
                                                             - (t[-1] / REFERENCE.t_fb) ** (1 - b))
    change = adaptive[ROW["M"], -1] - adaptive[ROW["M"], 0]
    assert abs(supplied - accreted - change) < 3e-6 * supplied  # rtol 1e-6


@pytest.mark.parametrize("opacity", ["kramers", "opal"])
def test_any_grey_opacity(opacity):
    runs = [TDEDisk(closure="advective", opacity=opacity, integrator=i).run() for i in ("euler", "adaptive")]
    for run in runs:
        assert run.completed and run.branch.max() == 1 and run.branch[-1] == 0
    assert len(runs[0].branch_episodes()) == len(runs[1].branch_episodes())
