"""How a run reports failure: the one status table, IntegrationError from both
integrators with its status and what was computed before the failure, and the
closure codes outside the contract."""

import pickle

import numpy as np
import pytest

from velquor._testsupport import ScriptedClosure
from velquor.dynamics.accretion.one_zone import IntegrationError, Status
from velquor.dynamics.accretion.one_zone._status import STATUSES
from velquor.dynamics.accretion.one_zone.adaptive import run_one_zone_model_adaptive
from velquor.dynamics.accretion.one_zone.integrator import run_one_zone_model
from velquor.radiation.opacity.murkwell import C_GreyMurkwell

ROWS = ("step", "t", "M", "J", "dt", "dM_dt", "dJ_dt", "log_T_c")  # the scripted closure's writer
MESSAGE = {code: message for code, _, message in STATUSES}


def scripted(**options):
    closure = ScriptedClosure(**options)
    closure.opacity = C_GreyMurkwell()
    return closure


def euler(closure):
    return run_one_zone_model(np.array([1.0, 1.0]), 0.0, 10.0, 1000, closure)


def adaptive(closure, **kw):
    return run_one_zone_model_adaptive(np.array([1.0, 1.0]), 0.0, 10.0, closure, max_steps=1000, **kw)


INTEGRATORS = [pytest.param(euler, id="euler"), pytest.param(adaptive, id="adaptive")]


def failure(integrate, **options):
    with pytest.raises(IntegrationError) as info:
        integrate(scripted(**options))
    return info.value


# --- the table ----------------------------------------------------------------------------

def test_every_status_has_one_meaning():
    codes = [code for code, _, _ in STATUSES]
    assert len(set(codes)) == len(codes) == len(Status)
    assert {s.name: s.value for s in Status} == {name: code for code, name, _ in STATUSES}
    # -1 is only ever "an error is pending"; a closure's codes k = 1..4 reach a run as -100 - k
    assert Status.ERROR_PENDING == -1 and Status.EXPAND_FAIL == 2
    assert [Status.CLOSURE_FUNC_ERROR, Status.CLOSURE_EXPAND_FAIL, Status.CLOSURE_NO_BRACKET,
            Status.CLOSURE_MAX_ITER] == [-101, -102, -103, -104]


# --- IntegrationError ---------------------------------------------------------------------

@pytest.mark.parametrize("integrate", INTEGRATORS)
@pytest.mark.parametrize(
    "options, status",
    [
        ({"closure_code": 1, "closure_code_at": 0}, Status.CLOSURE_FUNC_ERROR),
        ({"closure_code": 2, "closure_code_at": 0}, Status.CLOSURE_EXPAND_FAIL),
        ({"closure_code": 4, "closure_code_at": 0}, Status.CLOSURE_MAX_ITER),
        ({"derivative_code": 9}, Status.DERIVATIVE_FAIL),
        ({"writer_code": 3}, Status.WRITER_FAIL),
        ({"source": True, "source_code": -1}, Status.SOURCE_FAIL),
    ],
)
def test_a_failure_carries_its_status(integrate, options, status):
    exc = failure(integrate, dM_dt=-0.05, **options)
    assert isinstance(exc, RuntimeError)
    assert (exc.status, exc.status_name) == (status, status.name)
    assert str(exc) == MESSAGE[status] and exc.args == (MESSAGE[status],)


@pytest.mark.parametrize("integrate", INTEGRATORS)
@pytest.mark.parametrize("code", [10, 20, 30, 40, 50, -1, -10, 5])
def test_closure_codes_outside_the_contract_are_unrecognised(integrate, code):
    # A closure returns the root finder's codes 1..4 or -1 with an exception
    # pending; any other code is reported as such, never as another stage's
    # failure (a closure's 10 is not a failed derivative, nor its -1 a FUNC_ERROR).
    exc = failure(integrate, closure_code=code, closure_code_at=0)
    assert exc.status == Status.CLOSURE_UNRECOGNISED
    assert str(exc) == f"Integrator returned unrecognised error code {-abs(code)}."


def test_an_exception_from_a_callback_is_not_an_integration_error():
    with pytest.raises(ValueError, match="^closure raised at step 2$") as info:
        euler(scripted(closure_raise_at=2))
    assert not isinstance(info.value, IntegrationError)


# --- what was computed before the failure ---------------------------------------------------

def columns(result, name):
    return result[ROWS.index(name)]


@pytest.mark.parametrize("integrate", INTEGRATORS)
def test_the_partial_result_leads_to_the_state_that_failed(integrate):
    # M falls by 0.1 per unit time; the closure cannot solve any state past t = 5.
    exc = failure(integrate, dM_dt=-0.1, fail_t=5.0, fail_code=2)
    assert exc.status == Status.CLOSURE_EXPAND_FAIL
    partial = exc.partial
    assert partial.dtype == np.float64 and partial.flags.c_contiguous and partial.shape[0] == len(ROWS)
    t = columns(partial, "t")
    assert partial.shape[1] >= 2 and t[0] == 0.0 and np.all(np.diff(t) > 0) and t[-1] <= 5.0
    np.testing.assert_array_equal(columns(partial, "step"), np.arange(partial.shape[1]))
    np.testing.assert_allclose(columns(partial, "M"), 1.0 - 0.1 * t, rtol=1e-13)
    # the last column's step leads to the state the run could not get past
    assert exc.t_failed == t[-1] + columns(partial, "dt")[-1]
    np.testing.assert_allclose(exc.state, [1.0 - 0.1 * exc.t_failed, 1.0], rtol=1e-13)


def test_euler_partial_result_is_the_run_up_to_the_failed_step():
    whole = euler(scripted(dt=1.0, dM_dt=-0.05))
    exc = failure(euler, dt=1.0, dM_dt=-0.05, closure_code=3, closure_code_at=4)
    np.testing.assert_array_equal(exc.partial, whole[:, :4])
    assert exc.t_failed == 4.0
    np.testing.assert_array_equal(exc.state, whole[[ROWS.index("M"), ROWS.index("J")], 4])


@pytest.mark.parametrize("integrate", INTEGRATORS)
def test_a_failure_at_the_initial_state_has_no_columns(integrate):
    exc = failure(integrate, closure_code=2, closure_code_at=0)
    assert exc.partial.shape == (len(ROWS), 0)
    assert exc.t_failed == 0.0
    np.testing.assert_array_equal(exc.state, [1.0, 1.0])


def test_adaptive_output_times_written_before_the_failure():
    t_eval = np.linspace(0.0, 10.0, 21)
    with pytest.raises(IntegrationError) as info:
        adaptive(scripted(dM_dt=-0.1, fail_t=5.0, fail_code=2), t_eval=t_eval)
    exc = info.value
    n = exc.partial.shape[1]
    assert 0 < n < len(t_eval)
    np.testing.assert_array_equal(columns(exc.partial, "t"), t_eval[:n])
    np.testing.assert_allclose(columns(exc.partial, "M"), 1.0 - 0.1 * t_eval[:n], rtol=1e-12)


def test_a_step_limit_keeps_the_output_times_reached():
    t_eval = np.linspace(0.0, 10.0, 11)
    with pytest.raises(IntegrationError) as info:
        run_one_zone_model_adaptive(np.array([1.0, 1.0]), 0.0, 10.0, scripted(dM_dt=-0.01, power=3.0),
                                    max_steps=3, t_eval=t_eval, rtol=1e-10)
    exc = info.value
    assert exc.status == Status.STEP_LIMIT
    n = exc.partial.shape[1]
    assert n < len(t_eval)
    np.testing.assert_array_equal(columns(exc.partial, "t"), t_eval[:n])
    assert exc.t_failed >= (t_eval[n - 1] if n else 0.0)


@pytest.mark.parametrize("integrate", INTEGRATORS)
def test_a_failure_pickles_with_everything_it_carries(integrate):
    exc = failure(integrate, dM_dt=-0.1, fail_t=5.0, fail_code=2)
    back = pickle.loads(pickle.dumps(exc))
    assert type(back) is IntegrationError and str(back) == str(exc)
    assert (back.status, back.status_name, back.t_failed) == (exc.status, exc.status_name, exc.t_failed)
    np.testing.assert_array_equal(back.partial, exc.partial)
    np.testing.assert_array_equal(back.state, exc.state)
