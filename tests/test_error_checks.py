"""Pending-error checks after native calls.

An exception set by any native code -- here by third-party-style raisers that use
PyGILState_Ensure / PyErr_Format / PyGILState_Release and return a plausible value
-- must be seen by the very next check: in the integrator loop (with and without a
published thread state), in the root finder, in the default _opacity, in the Kramers
derivatives and in every table operation, and by a check made without the lock.
"""

import ctypes
import math
import threading
import traceback
from pathlib import Path

import numpy as np
import pytest

import velquor._testsupport as ts
from velquor._testsupport import RaisingGreyOpacity, RaisingKramersOpacity, RaisingTableOpacity
from velquor.dynamics.accretion.one_zone import closure as C
from velquor.dynamics.accretion.one_zone.integrator import run_one_zone_model
from velquor.dynamics.accretion.one_zone.models._hollin import FullPressureClosure
from velquor.math_utils import _tarnwick as tw
from velquor.radiation.opacity._kramers import KRAMERS_KAPPA0
from velquor.radiation.opacity.grey_opacity.rosseland._plumtree import C_PlumtreeOpacity
from velquor.radiation.opacity.grey_opacity.rosseland._quenby import C_QuenbyOpacity
from velquor.radiation.opacity.tables import read_opal_table

LN10 = 2.302585092994046
OPAL = Path(__file__).parent / "data" / "opacity" / "opal_gn93_x0.70_z0.02.txt"
QUENBY = "velquor.radiation.opacity.grey_opacity.rosseland._quenby.C_QuenbyOpacity."
PLUMTREE = "velquor.radiation.opacity.grey_opacity.rosseland._plumtree.C_PlumtreeOpacity."


def raised_at(k):
    return rf"raised at call {k}$"


def frames(excinfo):
    """co_name of every traceback entry, innermost last."""
    names, tb = [], excinfo.tb
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


@pytest.fixture(scope="module")
def opal():
    return read_opal_table(OPAL)


def opal_raiser(opal, oob=1, slot=None, raise_at=-1):
    g1, g2, lk = (a.copy() for a in opal)
    op = RaisingTableOpacity(g1, g2, lk, oob)
    op.slot, op.raise_at = slot, raise_at
    return op


# ---------------------------------------------------------------------------
# The integrator loop, on the disk model
# ---------------------------------------------------------------------------

M_SUN = 1.3271244e26 / C.G_CGS
M_BH = 1e6 * M_SUN
R_C = 2 * 6.957e10 * 1e6 ** (1 / 3)
R_IN = 6 * C.G_CGS * M_BH / 2.99792458e10 ** 2
RUN_PARAMS = {"log_M_BH": math.log(M_BH), "log_R_in": math.log(R_IN), "alpha": 0.1}


def reference_run(gas_pressure_only, opacity):
    """Closure, initial state and t_end of a run that every closure completes."""
    closure = FullPressureClosure(gas_pressure_only)
    closure.opacity = opacity
    closure.bind_runtime_parameters(RUN_PARAMS)
    mass = (0.5 if gas_pressure_only else 1e-3) * M_SUN
    state = np.array([mass, C.DISK_XI * mass * math.sqrt(C.G_CGS * M_BH * R_C)])
    return closure, state, (1e12 if gas_pressure_only else 3e10)


def grey(raise_at):
    op = RaisingGreyOpacity()
    op.value, op.raise_at = math.log(C.KAPPA_ES), raise_at
    return op


def kramers(raise_at):
    op = RaisingKramersOpacity(KRAMERS_KAPPA0)
    op.raise_at = raise_at
    return op


OPACITIES = {
    "grey": lambda opal, k: grey(k),
    "kramers": lambda opal, k: kramers(k),
    "table-log_opacity": lambda opal, k: opal_raiser(opal, 1, "_log_opacity", k),
    "table-bisect": lambda opal, k: opal_raiser(opal, 1, "_bisect", k),
    "table-interp": lambda opal, k: opal_raiser(opal, 1, "_interp", k),
}


@pytest.mark.parametrize("gas_pressure_only", [True, False], ids=["gas", "gas+rad"])
@pytest.mark.parametrize("kind", list(OPACITIES))
@pytest.mark.parametrize("raise_at", [0, 7, 500])
def test_opacity_raising_mid_run_stops_the_run(opal, gas_pressure_only, kind, raise_at):
    op = OPACITIES[kind](opal, -1)
    closure, state, t_end = reference_run(gas_pressure_only, op)
    full = run_one_zone_model(state, 0.0, t_end, 5000, closure, 1e-3)
    assert full.shape[1] > 50 and op.calls > 600  # the run reaches every raise_at below

    op.calls, op.raise_at = 0, raise_at
    with pytest.raises(ValueError, match=raised_at(raise_at)) as info:
        run_one_zone_model(state, 0.0, t_end, 5000, closure, 1e-3)
    # the first check after the raising call saw it: the slot was never called again
    assert op.calls == raise_at + 1
    names = frames(info)
    assert names[1] == "velquor.dynamics.accretion.one_zone.integrator.compute_one_zone_model"
    model = "models._sedge." if gas_pressure_only else "models._hollin."
    assert any(model in n for n in names)
    if kind in ("table-bisect", "table-interp"):  # an inner operation: the table's _log_opacity reports it
        assert QUENBY + "_log_opacity" in names


def test_runs_on_two_threads_fail_and_succeed_independently(opal):
    """The thread state a run publishes is its own thread's: a raise on one thread
    stops that run only, and the other run's result is the one it has alone."""
    good_closure, state, t_end = reference_run(True, kramers(-1))
    alone = run_one_zone_model(state, 0.0, t_end, 5000, good_closure, 1e-3)
    bad_closure, _, _ = reference_run(True, kramers(-1))
    outcome = {}

    def good():
        outcome["good"] = [run_one_zone_model(state, 0.0, t_end, 5000, good_closure, 1e-3) for _ in range(5)]

    def bad():
        errors = []
        for k in range(5):
            bad_closure.opacity.calls, bad_closure.opacity.raise_at = 0, 100 * k + 3
            try:
                run_one_zone_model(state, 0.0, t_end, 5000, bad_closure, 1e-3)
            except ValueError as e:
                errors.append((str(e), bad_closure.opacity.calls))
        outcome["bad"] = errors

    threads = [threading.Thread(target=good), threading.Thread(target=bad)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(np.array_equal(r, alone) for r in outcome["good"])
    assert outcome["bad"] == [(f"RaisingKramersOpacity._log_opacity raised at call {100 * k + 3}", 100 * k + 4)
                              for k in range(5)]


# ---------------------------------------------------------------------------
# The root finder, called natively
# ---------------------------------------------------------------------------

SCALAR = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_double, ctypes.c_void_p, ctypes.POINTER(ctypes.c_double))
FIND_ROOT_ARGS = [SCALAR, ctypes.c_void_p, ctypes.c_double, ctypes.c_double, ctypes.c_double, ctypes.c_int32,
                  ctypes.c_double, ctypes.c_double, ctypes.c_double, ctypes.c_double, ctypes.c_double,
                  ctypes.c_int32, ctypes.POINTER(ctypes.c_double)]


def find_root(factory):
    capsule = tw.__native_api__["find_root"]
    name = ctypes.pythonapi.PyCapsule_GetName
    name.restype, name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    pointer = ctypes.pythonapi.PyCapsule_GetPointer
    pointer.restype, pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return factory(ctypes.c_int32, *FIND_ROOT_ARGS)(pointer(capsule, name(capsule)))


@pytest.mark.parametrize("with_lock", [True, False], ids=["lock held", "lock released"])
@pytest.mark.parametrize("kind", ["grey", "kramers", "table-bisect"])
@pytest.mark.parametrize("raise_at", [0, 1, 6])
def test_root_finder_sees_a_raise_inside_its_callback(opal, with_lock, kind, raise_at):
    op = OPACITIES[kind](opal, -1)
    residual = ctypes.cast(ts.OPACITY_RESIDUAL, SCALAR)
    root = ctypes.c_double(-1.0)
    args = (residual, id(op), 9.0, 0.25, 2.0, 20, -100.0, 100.0, 0.0, 1e-12, 0.0, 100, ctypes.byref(root))
    assert find_root(ctypes.CFUNCTYPE)(*args) == 0 and root.value == pytest.approx(10.0)
    needed = op.calls
    assert needed > raise_at

    op.calls, op.raise_at = 0, raise_at
    root.value = -1.0
    if with_lock:  # PYFUNCTYPE keeps the lock and raises what the call leaves pending
        with pytest.raises(ValueError, match=raised_at(raise_at)) as info:
            find_root(ctypes.PYFUNCTYPE)(*args)
        exc = info.value
    else:  # without the lock the error is still pending when ctypes returns
        with pytest.raises(SystemError) as info:
            find_root(ctypes.CFUNCTYPE)(*args)
        exc = info.value.__cause__
        assert type(exc) is ValueError and str(exc).endswith(f"raised at call {raise_at}")
    assert op.calls == raise_at + 1 and root.value == -1.0
    assert "velquor.math_utils._tarnwick.find_root" in [f.name for f in traceback.extract_tb(exc.__traceback__)]


# ---------------------------------------------------------------------------
# The opacity operations
# ---------------------------------------------------------------------------

def test_default_opacity_sees_the_raise():
    op = grey(-1)
    assert op.opacity(1e-9, 1e5) == math.exp(op.value) == pytest.approx(C.KAPPA_ES)
    op.calls, op.raise_at = 0, 0
    with pytest.raises(ValueError, match=raised_at(0)) as info:
        op.opacity(1e-9, 1e5)
    assert frames(info)[-1] == "velquor.radiation.opacity.murkwell.C_GreyMurkwell._opacity"
    assert op.calls == 1


@pytest.mark.parametrize("method", ["opacity_array", "log_opacity_array"])
def test_array_methods_stop_at_the_raising_point(method):
    op = grey(37)
    with pytest.raises(ValueError, match=raised_at(37)):
        getattr(op, method)(np.full(100, 1.0), np.full(100, 2.0))
    assert op.calls == 38


@pytest.mark.parametrize("method, last", [
    ("opacity", "_opacity"), ("dlogkappa_dlogrho", "_dlogkappa_dlogrho"), ("dlogkappa_dlogT", "_dlogkappa_dlogT")])
def test_kramers_operations_see_the_raise(method, last):
    op, plain = kramers(-1), C_PlumtreeOpacity(KRAMERS_KAPPA0)
    args = (1e-9, 1e5) if method == "opacity" else (math.log(1e5), math.log(1e-9))
    assert getattr(op, method)(*args) == getattr(plain, method)(*args)
    op.calls, op.raise_at = 0, 0
    with pytest.raises(ValueError, match=raised_at(0)) as info:
        getattr(op, method)(*args)
    assert frames(info)[-1] == PLUMTREE + last and op.calls == 1


def table_entries(excinfo):
    """The table operations named in the traceback, outermost first."""
    return [n.removeprefix(QUENBY) for n in frames(excinfo) if n.startswith(QUENBY)]


# (slot, (log10 T, log10 R), the table operations that report the raise, outermost first)
TABLE_CASES = [
    ("_log_opacity", (5.0, -3.0), []),  # reported by the array method itself
    ("_coords", (5.0, -3.0), ["_log_opacity"]),
    ("_find_cell", (5.0, -3.0), ["_log_opacity"]),
    ("_bisect", (5.0, -3.0), ["_log_opacity", "_find_cell"]),
    ("_interp", (5.0, -3.0), ["_log_opacity"]),
    ("_nearest_finite", (8.7, 1.0), ["_log_opacity"]),  # a missing entry, filled in clamp mode
    ("_handle_oob", (9.5, -3.0), ["_log_opacity"]),
    ("_nearest_finite", (9.5, -3.0), ["_log_opacity", "_handle_oob"]),
    ("_bisect", (9.5, -3.0), ["_log_opacity", "_handle_oob"]),
]


@pytest.mark.parametrize("slot, point, entries", TABLE_CASES)
@pytest.mark.parametrize("raise_at", [0, 1, 2])
def test_table_log_opacity_sees_a_raising_inner_operation(opal, slot, point, entries, raise_at):
    op = opal_raiser(opal, 1, slot)
    x1, x2 = point
    log_t, log_rho = x1 * LN10, (x2 + 3 * (x1 - 6)) * LN10
    assert op.log_opacity(log_t, log_rho) == C_QuenbyOpacity(*opal, 1).log_opacity(log_t, log_rho)
    assert op.calls in (1, 2)

    op.calls, op.raise_at = 0, raise_at
    with pytest.raises(ValueError, match=raised_at(raise_at)) as info:
        op.log_opacity_array(np.full(3, log_t), np.full(3, log_rho))
    assert table_entries(info) == entries
    assert op.calls == raise_at + 1  # nothing was evaluated after the raising call


@pytest.mark.parametrize("slot", ["_coords", "_find_cell", "_bisect", "_log_opacity"])
@pytest.mark.parametrize("method, entries", [("dlogkappa_dlogrho", ["_dlogkappa_dlogrho"]),
                                             ("dlogkappa_dlogT", ["_dlogkappa_dlogT"]),
                                             ("opacity", ["_opacity", "_log_opacity"])])
def test_table_derivatives_and_opacity_see_a_raising_inner_operation(opal, slot, method, entries):
    op = opal_raiser(opal, 1, slot, 0)
    args = (1e-3, 1e6) if method == "opacity" else (6.0 * LN10, -3.0 * LN10)
    if slot == "_log_opacity":  # the derivatives never call it
        if method != "opacity":
            getattr(op, method)(*args)
            assert op.calls == 0
            return
        entries = entries[:1]
    with pytest.raises(ValueError, match=raised_at(0)) as info:
        getattr(op, method)(*args)
    assert table_entries(info) == entries + (["_find_cell"] if slot == "_bisect" else [])
    assert op.calls == 1


# ---------------------------------------------------------------------------
# Checks made without the lock
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("publish", [False, True], ids=["record", "published"])
@pytest.mark.parametrize("raise_before, raise_inside", [(False, False), (True, False), (False, True), (True, True)])
def test_check_without_lock(publish, raise_before, raise_inside):
    holds_lock, plain, cached, pending_after = ts.check_without_lock(raise_before, raise_inside, publish)
    expected = raise_before or raise_inside
    assert (holds_lock, plain, cached, pending_after) == (0, expected, expected, expected)


def test_checks_without_lock_on_many_threads_see_only_their_own_exception():
    results = {}
    barrier = threading.Barrier(6)

    def work(k):
        barrier.wait()
        results[k] = [ts.check_without_lock(False, (k + i) % 2 == 1, i % 3 == 0) for i in range(300)]

    threads = [threading.Thread(target=work, args=(k,)) for k in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k, answers in results.items():
        for i, a in enumerate(answers):
            pending = (k + i) % 2 == 1
            assert a == (0, pending, pending, pending)


@pytest.mark.parametrize("raise_inside", [False, True])
def test_check_on_a_thread_the_interpreter_never_saw(raise_inside):
    assert ts.check_on_foreign_thread(raise_inside) == (0, raise_inside, raise_inside, raise_inside)


def test_check_on_a_thread_without_thread_state_takes_the_lock():
    assert ts.no_thread_state_check() is False
