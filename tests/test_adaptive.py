"""The adaptive integrator: exact solutions for both embedded pairs, error control,
dense output, stage-failure retries, status messages, validation, the lock
protocol and thread safety."""

import inspect
import math
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from velquor._testsupport import ScriptedClosure
from velquor.dynamics.accretion.one_zone import closure as C
from velquor.dynamics.accretion.one_zone.adaptive import run_one_zone_model_adaptive
from velquor.dynamics.accretion.one_zone.integrator import run_one_zone_model
from velquor.dynamics.accretion.one_zone.models._hollin import FullPressureClosure
from velquor.radiation.opacity.murkwell import C_GreyMurkwell

ROWS = ("step", "t", "M", "J", "dt", "dM_dt", "dJ_dt", "log_T_c")
METHODS = ("dopri5", "bs32")
STATE = np.array([1.0, 1.0])
P = 19.0 / 3.0  # dM/dt = -M^(19/3): the one-zone disk's own law, M = (1 + 16 t / 3)^(-3/16)


def scripted(**options):
    closure = ScriptedClosure(**options)
    closure.opacity = C_GreyMurkwell()
    return closure


def run(closure, t_start=0.0, t_end=10.0, state=None, **kw):
    state = STATE.copy() if state is None else state
    return run_one_zone_model_adaptive(state, t_start, t_end, closure, **kw)


def row(result, name):
    return result[ROWS.index(name)]


def power_law_mass(t, m0=1.0, c=-1.0, p=P):
    return (m0 ** (1.0 - p) + (1.0 - p) * c * t) ** (1.0 / (1.0 - p))


# --- exact solutions ----------------------------------------------------------------------

@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("source", [False, True])
def test_constant_rates_give_the_exact_line(method, source):
    closure = scripted(dM_dt=-0.1, dJ_dt=0.2, source=source, source_dM_dt=0.05, source_dJ_dt=-0.05)
    result = run(closure, t_start=2.0, t_end=12.0, state=np.array([2.0, 3.0]), method=method)
    dm, dj = (-0.05, 0.15) if source else (-0.1, 0.2)
    t = row(result, "t")
    assert t[0] == 2.0 and t[-1] == 12.0 and np.all(np.diff(t) > 0)
    np.testing.assert_allclose(row(result, "M"), 2.0 + dm * (t - 2.0), rtol=1e-14)
    np.testing.assert_allclose(row(result, "J"), 3.0 + dj * (t - 2.0), rtol=1e-14)
    np.testing.assert_allclose(row(result, "dM_dt"), dm, rtol=1e-15)
    np.testing.assert_allclose(row(result, "dJ_dt"), dj, rtol=1e-15)
    # dt pairs each column with the step leading away from it, as in the Euler integrator
    dt = row(result, "dt")
    np.testing.assert_allclose(t[:-1] + dt[:-1], t[1:], rtol=1e-15)
    assert dt[-1] == 0.0
    np.testing.assert_array_equal(row(result, "step"), np.arange(result.shape[1]))


@pytest.mark.parametrize("method, max_ratio", [("dopri5", 0.2), ("bs32", 1.0)])
@pytest.mark.parametrize("rtol", [1e-3, 1e-6, 1e-9])
def test_error_follows_the_tolerance_on_a_closed_form_solution(method, max_ratio, rtol):
    closure = scripted(dM_dt=-1.0, power=P)
    result = run(closure, t_end=1000.0, rtol=rtol, method=method)
    t, m = row(result, "t"), row(result, "M")
    assert t[-1] == 1000.0
    error = np.max(np.abs(m / power_law_mass(t) - 1.0))
    assert 1e-4 * rtol < error < max_ratio * rtol
    np.testing.assert_allclose(row(result, "dM_dt"), -(m**P), rtol=1e-15)


def test_absolute_tolerance_adds_to_the_error_weights():
    # M falls from 1 to ~0.27: an absolute tolerance of 1e-4 dominates rtol = 1e-9
    relative = run(scripted(dM_dt=-1.0, power=P), t_end=1000.0, rtol=1e-9)
    absolute = run(scripted(dM_dt=-1.0, power=P), t_end=1000.0, rtol=1e-9, atol=1e-4)
    assert absolute.shape[1] < relative.shape[1] // 4
    error = np.max(np.abs(row(absolute, "M") - power_law_mass(row(absolute, "t"))))
    assert 1e-9 < error < 1e-4


@pytest.mark.parametrize("method", METHODS)
def test_a_starting_step_below_the_retry_floor_is_taken(method):
    # a fast start (time scale 1) in a long run (1e9): at rtol = 1e-10 the starting
    # step estimate of bs32 is ~1e-4, below the 1e-12 floor that bounds retries
    result = run(scripted(dM_dt=-1.0, power=P), t_end=1e9, rtol=1e-10, method=method)
    assert row(result, "dt")[0] < 1e-2 and row(result, "t")[-1] == 1e9
    np.testing.assert_allclose(row(result, "M")[-1], power_law_mass(1e9), rtol=1e-9)


def test_first_closure_call_sees_no_previous_solution():
    closure = scripted(dM_dt=-0.1)
    run(closure)
    assert closure.first_prev == (0.0,) * 10 + (None, 0)


# --- dense output -------------------------------------------------------------------------

@pytest.mark.parametrize("method, tolerance", [("dopri5", 1e-6), ("bs32", 5e-6)])
def test_t_eval_columns_follow_the_solution(method, tolerance):
    t_eval = np.concatenate([[0.0, 0.0], np.geomspace(1e-3, 1000.0, 50)])  # duplicates allowed
    result = run(scripted(dM_dt=-1.0, power=P), t_end=1000.0, rtol=1e-6, t_eval=t_eval, method=method)
    assert result.shape == (len(ROWS), len(t_eval)) and result.flags.c_contiguous
    np.testing.assert_array_equal(row(result, "t"), t_eval)
    np.testing.assert_array_equal(row(result, "step"), np.arange(len(t_eval)))
    m = row(result, "M")
    np.testing.assert_allclose(m, power_law_mass(t_eval), rtol=tolerance)
    # each output state has its own closure and rates
    np.testing.assert_allclose(row(result, "dM_dt"), -(m**P), rtol=1e-15)
    assert np.all(row(result, "dt") > 0)


@pytest.mark.parametrize("method", METHODS)
def test_output_requests_do_not_change_the_trajectory(method):
    stepped = run(scripted(dM_dt=-1.0, power=P), t_end=50.0, method=method)
    t = row(stepped, "t")
    dense = run(scripted(dM_dt=-1.0, power=P), t_end=50.0, method=method, t_eval=np.sort(np.r_[t, 0.5 * (t[1:] + t[:-1])]))
    at_steps = np.isin(row(dense, "t"), t)
    for name in ("M", "J", "dM_dt", "dJ_dt"):
        np.testing.assert_array_equal(row(dense, name)[at_steps], row(stepped, name))


def test_t_eval_step_budget_and_the_step_limit_message():
    closure = scripted(dM_dt=-1.0, power=P)
    assert run(closure, t_end=1000.0, t_eval=[1000.0], max_steps=10_000).shape == (len(ROWS), 1)
    with pytest.raises(RuntimeError, match=r"^STEP_LIMIT \(-50\): max_steps \(2\) steps taken by t = .* s, before the "
                                           r"last t_eval time 1000\.0 s\.$"):
        run(closure, t_end=1000.0, t_eval=[1.0, 1000.0], max_steps=2)


@pytest.mark.parametrize("max_steps, columns", [(1, 1), (3, 3)])
def test_max_steps_caps_the_columns_without_error(max_steps, columns):
    result = run(scripted(dM_dt=-1.0, power=P), t_end=1000.0, max_steps=max_steps)
    assert result.shape == (len(ROWS), columns)
    assert row(result, "t")[-1] < 1000.0 and row(result, "dt")[-1] == 0.0


@pytest.mark.parametrize("t_eval", [None, [0.0, 5.0, 10.0]])
def test_rows_the_writer_leaves_alone_are_zero(t_eval):
    # the result is allocated uninitialised and each column cleared before it is
    # written: free a block of the same size full of sevens first, so that stale
    # data would show
    rows, max_steps = len(ROWS) + 2, 1000
    np.full((rows, max_steps if t_eval is None else len(t_eval)), 7.0)
    closure = scripted(dM_dt=-0.05)
    closure.n_result_fields = rows
    result = run(closure, t_eval=t_eval, max_steps=max_steps)
    np.testing.assert_array_equal(result[len(ROWS):], 0.0)
    np.testing.assert_array_equal(row(result, "dM_dt"), -0.05)


# --- stage failures, status messages, exceptions ------------------------------------------

MESSAGES = {
    1: "CLOSURE / FUNC_ERROR (-1): the root-finding residual callback returned non-zero \u2014 NaN or Inf "
       "encountered in the disk state or residual.",
    2: "CLOSURE / EXPAND_FAIL (-2): bracket expansion could not find a sign change in [T_min, T_max].  The disk "
       "state (surface density, \u03a9) may be outside the physical range supported by this closure.",
    3: "CLOSURE / NO_BRACKET (-3): both bracket endpoints have the same sign after expansion \u2014 no root "
       "detected in the search domain.",
    4: "CLOSURE / MAX_ITER (-4): Brent's method did not converge within the iteration limit.",
    5: "Integrator returned unrecognised error code -5.",
}


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("call", [1, 2, 5, 9])  # the first-step probe and stages of early steps
def test_a_failed_thermal_solve_on_a_trial_stage_is_retried(method, call):
    result = run(scripted(dM_dt=-0.05, closure_code=2, closure_code_at=call), method=method)
    t = row(result, "t")
    assert t[-1] == 10.0
    np.testing.assert_allclose(row(result, "M"), 1.0 - 0.05 * t, rtol=1e-14)


@pytest.mark.parametrize("code", sorted(MESSAGES))
@pytest.mark.parametrize("method", METHODS)
def test_a_persistent_thermal_failure_is_reported_at_the_step_floor(code, method):
    closure = scripted(dM_dt=-0.1, fail_t=5.0, fail_code=code)
    with pytest.raises(RuntimeError) as info:
        run(closure, method=method)
    assert str(info.value) == MESSAGES[code]
    assert closure.calls < 2000  # halving to the floor is quick, never an endless retry


@pytest.mark.parametrize("code", [2, 5, -7])
def test_a_failure_at_the_initial_state_is_reported_at_once(code):
    closure = scripted(closure_code=code, closure_code_at=0)
    with pytest.raises(RuntimeError) as info:
        run(closure)
    assert str(info.value) == MESSAGES.get(code, f"Integrator returned unrecognised error code {-abs(code)}.")
    assert closure.calls == 1


@pytest.mark.parametrize(
    "options, message",
    [
        ({"derivative_code": 9}, "DERIVATIVE_FAIL (-10): the derivative function returned a non-zero status "
         "(internal error)."),
        ({"writer_code": 3}, "WRITER_FAIL (-20): the writer function returned a non-zero status (internal error)."),
        ({"source": True, "source_code": -1}, "SOURCE_FAIL (-30): the source function returned a non-zero status "
         "(internal error)."),
        # a negative closure code on a trial stage is outside the contract: a failure, never a retry
        ({"closure_code": -7, "closure_code_at": 3}, "Integrator returned unrecognised error code -7."),
    ],
)
@pytest.mark.parametrize("t_eval", [None, [5.0]])
def test_callback_failure_messages(options, message, t_eval):
    with pytest.raises(RuntimeError) as info:
        run(scripted(dM_dt=-0.1, **options), t_eval=t_eval)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "options, t_end",
    [
        ({"dM_dt": float("nan")}, 10.0),  # non-finite rates
        ({"dM_dt": 1.0, "power": 2.0}, 10.0),  # M = 1 / (1 - t) blows up at t = 1
    ],
)
@pytest.mark.parametrize("method", METHODS)
def test_step_underflow_is_an_error_not_a_hang(options, t_end, method):
    with pytest.raises(RuntimeError, match=r"^STEP_UNDERFLOW \(-40\): the step size fell below its floor of "
                                           r"\S+ s at t = \S+ s without meeting the error tolerance"):
        run(scripted(**options), t_end=t_end, method=method)


@pytest.mark.parametrize(
    "options, text",
    [
        ({"closure_raise_at": 0}, "closure raised at step 0"),  # the initial state
        ({"closure_raise_at": 4}, "closure raised at step 4"),  # a trial stage
        ({"source": True, "source_raise": 1}, "source raised at step 0"),
        ({"derivative_raise": 1}, "derivative raised at step 0"),
        ({"writer_raise": 1}, "writer raised at step 0"),
    ],
)
@pytest.mark.parametrize("t_eval", [None, [5.0]])
def test_callback_exception_propagates_unchanged(options, text, t_eval):
    with pytest.raises(ValueError, match=f"^{text}$") as info:
        run(scripted(dM_dt=-0.1, **options), t_eval=t_eval)
    names = [entry.name for entry in info.traceback]
    assert "velquor.dynamics.accretion.one_zone.adaptive.compute_one_zone_model_adaptive" in names


# --- validation ---------------------------------------------------------------------------

def unready_closure():
    closure = scripted()
    closure.drop_writer = True
    return closure


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((None, 0.0, 1.0, "closure"), {}, TypeError, "Argument 'initial_state' must not be None"),
        ((STATE, 0.0, 1.0, None), {}, TypeError,
         "Argument 'closure' has incorrect type (expected velquor.dynamics.accretion.one_zone.closure."
         "OneZoneClosure, got NoneType)"),
        ((STATE, 0.0, 1.0), {}, TypeError,
         "run_one_zone_model_adaptive() takes at least 4 positional arguments (3 given)"),
        ((STATE, 0.0, 1.0, "closure"), {"eps": 1}, TypeError,
         "run_one_zone_model_adaptive() got an unexpected keyword argument 'eps'"),
        ((STATE, 0.0, 1.0, "closure"), {"max_steps": "5"}, TypeError, "an integer is required"),
        ((STATE, 0.0, 1.0, "closure"), {"method": 5}, TypeError,
         "Argument 'method' has incorrect type (expected str, got int)"),
        # readiness first, then the shape, as in the Euler integrator
        ((np.ones(3), 0.0, 1.0, "unready"), {}, ValueError, "OneZoneClosure has uninitialised function pointers."),
        ((np.ones(3), 0.0, 1.0, "closure"), {}, ValueError, "initial_state must have shape (2,), got shape (3,)."),
        ((STATE, 1.0, 1.0, "closure"), {"rtol": 2.0}, ValueError, "t_end (1.0) must be > t_start (1.0)."),
        ((STATE, 0.0, float("nan"), "closure"), {}, ValueError, "t_end (nan) must be > t_start (0.0)."),
        ((STATE, 0.0, float("inf"), "closure"), {}, ValueError, "t_start (0.0) and t_end (inf) must be finite."),
        ((STATE, 0.0, 1.0, "closure"), {"rtol": 1.0}, ValueError, "rtol must be in (0, 1), got 1.0."),
        ((STATE, 0.0, 1.0, "closure"), {"rtol": 0}, ValueError, "rtol must be in (0, 1), got 0.0."),
        ((STATE, 0.0, 1.0, "closure"), {"rtol": float("nan")}, ValueError, "rtol must be in (0, 1), got nan."),
        ((STATE, 0.0, 1.0, "closure"), {"atol": -1e-3}, ValueError, "atol must be finite and >= 0, got -0.001."),
        ((STATE, 0.0, 1.0, "closure"), {"atol": float("inf")}, ValueError, "atol must be finite and >= 0, got inf."),
        ((STATE, 0.0, 1.0, "closure"), {"max_steps": 0, "method": "rk4"}, ValueError, "max_steps must be >= 1, got 0."),
        ((STATE, 0.0, 1.0, "closure"), {"t_eval": [[0.5]]}, ValueError,
         "t_eval must be one-dimensional, got shape (1, 1)."),
        ((STATE, 0.0, 1.0, "closure"), {"t_eval": 0.5}, ValueError, "t_eval must be one-dimensional, got shape ()."),
        ((STATE, 0.0, 1.0, "closure"), {"t_eval": []}, ValueError, "t_eval must not be empty."),
        ((STATE, 0.0, 1.0, "closure"), {"t_eval": [0.0, 1.5]}, ValueError,
         "t_eval must lie within [t_start, t_end] = [0.0, 1.0], got t_eval[1] = 1.5."),
        ((STATE, 0.0, 1.0, "closure"), {"t_eval": [0.5, float("nan")]}, ValueError,
         "t_eval must lie within [t_start, t_end] = [0.0, 1.0], got t_eval[1] = nan."),
        ((STATE, 0.0, 1.0, "closure"), {"t_eval": [0.5, 0.25]}, ValueError,
         "t_eval must be sorted in increasing order, got t_eval[1] = 0.25 after t_eval[0] = 0.5."),
        ((STATE, 0.0, 1.0, "closure"), {"method": "rk4"}, ValueError, "method must be 'dopri5' or 'bs32', got 'rk4'."),
        ((STATE, 0.0, 1.0, "no-opacity"), {"method": "bs32"}, ValueError,
         "OneZoneClosure has no opacity installed.  Set closure.opacity before passing to the integrator."),
    ],
)
def test_validation(args, kwargs, error, message):
    closures = {"closure": scripted(), "unready": unready_closure(), "no-opacity": ScriptedClosure()}
    args = tuple(closures[a] if isinstance(a, str) else a for a in args)
    with pytest.raises(error) as info:
        run_one_zone_model_adaptive(*args, **kwargs)
    assert str(info.value) == message
    for closure in closures.values():
        assert closure.calls == 0  # nothing is called before the checks pass


def test_t_eval_is_copied_before_the_run():
    t_eval = np.linspace(0.0, 10.0, 5)
    result = run(scripted(dM_dt=-0.1), t_eval=t_eval)
    t_eval[:] = -1.0
    np.testing.assert_array_equal(row(result, "t"), np.linspace(0.0, 10.0, 5))


REINIT = """
import importlib, sys
name = "velquor.dynamics.accretion.one_zone.adaptive"
importlib.import_module(name)
del sys.modules[name]
try:
    importlib.import_module(name)
except RuntimeError as exc:
    print(exc)
"""


def test_module_refuses_a_second_initialisation_and_exposes_its_signature():
    out = subprocess.run([sys.executable, "-c", REINIT], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "Module 'adaptive' has already been imported. Re-initialisation is not supported."
    assert str(inspect.signature(run_one_zone_model_adaptive)) == (
        "(initial_state, t_start, t_end, closure, rtol=1e-06, atol=0.0, max_steps=100000, t_eval=None, "
        "method='dopri5')")


# --- the lock protocol and threads --------------------------------------------------------

def test_python_thread_progresses_and_closure_is_pinned_during_a_run(start_thread):
    closure = scripted(spin=20000, dM_dt=-1.0, power=P)
    thread, out = start_thread(run, closure, t_end=1000.0, rtol=1e-8, method="bs32")
    while closure._runs_in_progress == 0 and thread.is_alive():
        time.sleep(0)
    ticks = 0
    refused = False
    while thread.is_alive():
        ticks += 1
        if not refused and closure._runs_in_progress:
            with pytest.raises(RuntimeError, match="while a run is using this closure"):
                closure.opacity = C_GreyMurkwell()
            refused = True
        time.sleep(0)
    thread.join()
    assert "error" not in out and refused and ticks > 100
    assert closure._runs_in_progress == 0


def test_concurrent_runs_match_sequential_runs(start_thread):
    def make(i):
        return scripted(spin=3000, dM_dt=-1.0 - 0.5 * i, power=P, source=i % 2 == 0, source_dJ_dt=1e-3)

    kwargs = [dict(t_end=100.0, rtol=1e-9, method=METHODS[i % 2], t_eval=None if i < 2 else np.linspace(0, 100, 7))
              for i in range(4)]
    sequential = [run(make(i), **kwargs[i]) for i in range(4)]
    threads = [start_thread(run, make(i), **kwargs[i]) for i in range(4)]
    for (thread, out), expected in zip(threads, sequential):
        thread.join()
        np.testing.assert_array_equal(out["result"], expected)


# --- the one-zone disk model with the real closures ---------------------------------------

G, M_SUN = C.G_CGS, 1.3271244e26 / C.G_CGS
M_BH, R_C, ALPHA, MU = 1e6 * M_SUN, 1.3914e13, 0.1, 0.6
DISK = np.array([0.5 * M_SUN, 0.5 * M_SUN * C.DISK_XI * math.sqrt(G * M_BH * R_C)])


def disk_closure(log_r_in=-math.inf, **kw):
    closure = FullPressureClosure(True, **kw)  # gas pressure only, electron scattering by default
    closure.bind_runtime_parameters({"log_M_BH": math.log(M_BH), "log_R_in": log_r_in, "alpha": ALPHA})
    return closure


def viscous_time_from_the_model_equations(m, j):
    """R^2 / nu of the ring (J, M) with sigma_SB T^4 = 27/32 alpha kappa_es Omega Sigma^2 k_B T / (mu m_p)."""
    r = (j / (C.DISK_XI * m)) ** 2 / (G * M_BH)
    sigma = m / (C.DISK_A * math.pi * r * r)
    omega = math.sqrt(G * M_BH / r**3)
    t_c = (27.0 / 32.0 * ALPHA * C.KAPPA_ES * omega * sigma**2 * C.K_B_CGS
           / (C.SIGMA_SB_CGS * MU * C.M_P_CGS)) ** (1.0 / 3.0)
    nu = ALPHA * C.K_B_CGS * t_c / (MU * C.M_P_CGS) / omega
    return r * r / nu


# With J fixed (zero inner radius): R ~ M^-2, Sigma ~ M^5, Omega ~ M^3, T ~ M^(13/3),
# nu ~ M^(4/3), t_visc ~ M^(-16/3), so dM/dt = -F0 M / t_visc ~ -M^(19/3) and
# M = M0 (1 + t / t0)^(-3/16) with t0 = 3 t_visc(0) / (16 F0).
T0 = 3.0 * viscous_time_from_the_model_equations(*DISK) / (16.0 * C.DISK_F0)


def disk_mass(t):
    return DISK[0] * (1.0 + np.asarray(t) / T0) ** (-3.0 / 16.0)


@pytest.mark.parametrize("method, max_ratio", [("dopri5", 0.2), ("bs32", 1.0)])
@pytest.mark.parametrize("rtol", [1e-4, 1e-7, 1e-10])
def test_disk_mass_follows_the_exact_solution_within_the_tolerance(method, max_ratio, rtol):
    result = run_one_zone_model_adaptive(DISK.copy(), 0.0, 100.0 * T0, disk_closure(), rtol=rtol, method=method)
    assert result.shape[0] == 20
    t, m, j = result[1], result[2], result[3]
    assert t[-1] == 100.0 * T0
    error = np.max(np.abs(m / disk_mass(t) - 1.0))
    assert 1e-4 * rtol < error < max_ratio * rtol
    np.testing.assert_array_equal(j, DISK[1])  # no torque at a zero inner radius
    np.testing.assert_allclose(result[16, 0], viscous_time_from_the_model_equations(*DISK), rtol=1e-12)
    # the rates written are the closure's: Mdot = -F0 M / t_visc
    np.testing.assert_allclose(result[13], -C.DISK_F0 * m / result[16], rtol=1e-14)


def test_disk_dense_output_and_the_same_callbacks_as_the_euler_integrator():
    closure = disk_closure()
    t_eval = np.linspace(0.0, 10.0 * T0, 11)
    dense = run_one_zone_model_adaptive(DISK.copy(), 0.0, 10.0 * T0, closure, rtol=1e-8, t_eval=t_eval)
    np.testing.assert_array_equal(dense[1], t_eval)
    np.testing.assert_allclose(dense[2], disk_mass(t_eval), rtol=1e-8)
    # column 0 is the initial state with the same closure, source and derivative as an Euler run
    euler = run_one_zone_model(DISK.copy(), 0.0, 1.0, 1, closure)
    rows = [r for r in range(20) if r != 15]  # all but dt
    np.testing.assert_array_equal(dense[rows, 0], euler[rows, 0])


def test_disk_with_an_inner_radius_loses_angular_momentum_at_its_specific_value():
    r_in = 6.0 * G * M_BH / 2.99792458e10**2
    result = run_one_zone_model_adaptive(DISK.copy(), 0.0, 10.0 * T0, disk_closure(math.log(r_in)), rtol=1e-9)
    j_in = math.sqrt(G * M_BH * r_in)
    m, j = result[2], result[3]
    np.testing.assert_allclose(result[14], j_in * result[13], rtol=1e-14)
    # dJ = j_in dM along the whole run: J - j_in M is conserved up to the tolerance
    np.testing.assert_allclose(j - j_in * m, DISK[1] - j_in * DISK[0], rtol=1e-9)


@pytest.mark.parametrize("method", METHODS)
def test_fallback_fed_disk_converges_with_the_tolerance(method):
    # the source depends on time: each stage must see its own time for the pair's order to hold
    t_fb = 3.53844e6
    closure = FullPressureClosure(True, True)
    closure.bind_runtime_parameters({"log_M_BH": math.log(M_BH), "log_R_in": math.log(8.85975e11), "alpha": ALPHA,
                                     "log_M_fb_0": math.log(M_SUN / (3 * t_fb)), "log_R_c": math.log(R_C),
                                     "log_t_fb": math.log(t_fb), "beta_fb": 5 / 3})
    seed = DISK * 2e-3
    t_end = t_fb + 1e9
    reference = run_one_zone_model_adaptive(seed.copy(), t_fb, t_end, closure, rtol=1e-12, t_eval=[t_end])[2:4, 0]
    for rtol in (1e-5, 1e-8):
        result = run_one_zone_model_adaptive(seed.copy(), t_fb, t_end, closure, rtol=rtol, method=method)
        np.testing.assert_allclose(result[2:4, -1], reference, rtol=rtol)
        assert np.all(result[13] > -C.DISK_F0 * result[2] / result[16])  # the supply is in the rates


def test_threads_sharing_one_closure_give_identical_results():
    closure = disk_closure()
    kwargs = [dict(rtol=10.0 ** -(6 + i), method=METHODS[i % 2], t_eval=None if i < 2 else np.linspace(0, T0, 5))
              for i in range(4)]
    sequential = [run_one_zone_model_adaptive(DISK.copy(), 0.0, 100.0 * T0, closure, **kw) for kw in kwargs]
    results = [None] * 4

    def target(i):
        for _ in range(100):
            out = run_one_zone_model_adaptive(DISK.copy(), 0.0, 100.0 * T0, closure, **kwargs[i])
            if results[i] is None:
                results[i] = out
            np.testing.assert_array_equal(out, results[i])

    threads = [threading.Thread(target=target, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for got, expected in zip(results, sequential):
        np.testing.assert_array_equal(got, expected)
    assert closure._runs_in_progress == 0
