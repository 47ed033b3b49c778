"""FullPressureClosure and the native pieces it installs: construction, binding,
pickling, the parameter holders, the equation of state, the viscous derivative,
the writer, the fallback source and the thermal solves, called directly through
their exported addresses (ctypes calls them without the GIL)."""

import copy
import ctypes
import decimal
import gc
import math
import pickle
import re
import threading
import time
import traceback

import numpy as np
import pytest

from velquor._testsupport import thermal_solve_plain
from velquor.dynamics.accretion.one_zone import _writer, closure as closure_module
from velquor.dynamics.accretion.one_zone.integrator import run_one_zone_model
from velquor.dynamics.accretion.one_zone.models import _hollin, _sedge
from velquor.dynamics.accretion.one_zone.models._advective import AdvectiveClosure
from velquor.dynamics.accretion.one_zone.models._hollin import FullPressureClosure, hollinClosure
from velquor.dynamics.accretion.one_zone.physics import _fallback, _parcelwrap, _stavemark, _viscous
from velquor.dynamics.accretion.one_zone.physics._parcelwrap import CAdvection, CFallback
from velquor.radiation.opacity import ElectronScatteringOpacity, KramersOpacity
from velquor.radiation.opacity.murkwell import C_GreyMurkwell

from native_records import (  # the ctypes records and exported entry points
    RESULT_FIELDS, P, ClosureResult, DiskDerived, DiskParameters, DiskState, DiskStep, FallbackParams, address,
    c_double, native, params_of, ref,
)

C = closure_module
NAN = float("nan")
PICKLE_REFUSAL = "no default __reduce__ due to non-trivial __cinit__"

BASE_KEYS = {"log_M_BH": math.log(2e39), "log_R_in": math.log(9e11), "alpha": 0.1}
FALLBACK_KEYS = {"log_M_fb_0": math.log(1.9e26), "log_R_c": math.log(1.4e13), "log_t_fb": math.log(3.5e6),
                 "beta_fb": 5.0 / 3.0}


# FullPressureClosure and its subclass AdvectiveClosure share one life cycle
# (construction of the run parameters, binding, pinning, pickling, GC): the
# tests of it run on both.  make(with_fallback) builds one of each.
MAKERS = {
    "FullPressureClosure": lambda with_fallback=False: FullPressureClosure(with_fallback=with_fallback),
    "gas-only FullPressureClosure": lambda with_fallback=False: FullPressureClosure(True, with_fallback),
    "AdvectiveClosure": lambda with_fallback=False: AdvectiveClosure(with_fallback),
}
each_closure = pytest.mark.parametrize("make", list(MAKERS.values()), ids=list(MAKERS))


def bound(*args, **kwargs):
    closure = FullPressureClosure(*args, **kwargs)
    closure.bind_runtime_parameters({**BASE_KEYS, **FALLBACK_KEYS})
    return closure


# ---------------------------------------------------------------------------
# Construction
# ---------------------------------------------------------------------------

@pytest.mark.parametrize(
    "args, kwargs, closure_fn, source_fn, mu",
    [
        ((), {}, "hollin_closure_func", None, 0.6),
        ((True,), {}, "sedge_closure_func", None, 0.6),
        ((), {"with_fallback": True}, "hollin_closure_func", "fallback_source_func", 0.6),
        ((1, [0], 2), {}, "sedge_closure_func", "fallback_source_func", 2.0),  # truth values, int mu
        ((None, None), {"mu": 1.25}, "hollin_closure_func", None, 1.25),
    ],
)
def test_construction_installs_callbacks(args, kwargs, closure_fn, source_fn, mu):
    closure = FullPressureClosure(*args, **kwargs)
    assert closure._closure_fn == address(closure_fn)
    assert closure._derivative_fn == address("viscous_derivative_func")
    assert closure._writer_fn == address("standard_writer_func")
    assert closure._source_fn == (address(source_fn) if source_fn else None)
    assert closure._has_fallback == (source_fn is not None)
    assert closure.n_result_fields == _writer.N_RESULT_FIELDS_PY == 20
    assert closure._mu == mu
    assert type(closure.opacity) is ElectronScatteringOpacity
    assert closure._opacity_ptr == id(closure.opacity)
    assert closure._fallback_obj is None and closure._fallback_ptr is None
    assert math.isnan(closure._M_BH) and math.isnan(closure._R_in) and math.isnan(closure._alpha)
    assert closure.is_ready() and not closure._params_bound


def test_alias_and_subclass_receive_arguments_at_allocation():
    assert hollinClosure is FullPressureClosure

    class Sub(FullPressureClosure):
        def __init__(self, *args, **kwargs):  # takes the arguments but ignores them
            super().__init__()

    assert Sub(True, mu=0.5)._closure_fn == address("sedge_closure_func")
    assert Sub(True, mu=0.5)._mu == 0.5


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((1, 2, 3, 4), {}, TypeError, "__cinit__() takes at most 3 positional arguments (4 given)"),
        ((), {"gas": True}, TypeError, "__cinit__() got an unexpected keyword argument 'gas'"),
        ((True,), {"gas_pressure_only": True}, TypeError,
         "__cinit__() got multiple values for keyword argument 'gas_pressure_only'"),
        ((BadTruth(),), {}, ZeroDivisionError, "no truth"),
        ((), {"with_fallback": BadTruth()}, ZeroDivisionError, "no truth"),
        ((), {"mu": "0.6"}, TypeError, "must be real number, not str"),
    ],
)
def test_construction_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        FullPressureClosure(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("make", [FullPressureClosure, AdvectiveClosure, lambda: CFallback(1, 2, 3, 4),
                                  lambda: CAdvection(0.5)])
def test_pickling_is_refused(make):
    obj = make()
    for attempt in (pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__setstate__(None)):
        with pytest.raises(TypeError, match=f"^{PICKLE_REFUSAL}$"):
            attempt(obj)


@each_closure
def test_gc_traverses_the_fallback_holder_and_collects_cycles(make):
    import weakref

    closure = make(True)
    closure.bind_runtime_parameters({**BASE_KEYS, **FALLBACK_KEYS})
    assert closure._fallback_obj in gc.get_referents(closure)
    if isinstance(closure, AdvectiveClosure):
        assert closure._advection_obj in gc.get_referents(closure)

    class Opacity(ElectronScatteringOpacity):
        pass

    opacity = Opacity()
    closure.opacity = opacity
    opacity.owner = closure  # a cycle through the base's opacity reference
    alive = weakref.ref(opacity)
    del closure, opacity
    gc.collect()
    assert alive() is None


# ---------------------------------------------------------------------------
# bind_runtime_parameters
# ---------------------------------------------------------------------------

@each_closure
def test_bind_stores_natural_exponentials_and_the_fallback_holder(make):
    closure = make(True)
    closure.bind_runtime_parameters({**BASE_KEYS, **FALLBACK_KEYS, "log_M_BH": 0.0, "mu": 7.0})
    assert closure._M_BH == 1.0  # e^0 g, not 10^0
    assert closure._R_in == math.exp(BASE_KEYS["log_R_in"]) and closure._alpha == 0.1
    assert closure._mu == 0.6  # "mu" comes from construction only
    holder = closure._fallback_obj
    assert type(holder) is CFallback
    assert (holder.M_fb_0, holder.R_c, holder.t_fb, holder.beta_fb) == (
        math.exp(FALLBACK_KEYS["log_M_fb_0"]), math.exp(FALLBACK_KEYS["log_R_c"]),
        math.exp(FALLBACK_KEYS["log_t_fb"]), 5.0 / 3.0)
    assert closure._fallback_ptr == holder.ptr() and closure._params_bound

    closure.bind_runtime_parameters({**BASE_KEYS, **FALLBACK_KEYS, "beta_fb": 2})  # re-binding replaces it
    assert closure._fallback_obj is not holder and closure._fallback_obj.beta_fb == 2.0
    assert closure._fallback_ptr == closure._fallback_obj.ptr()


@each_closure
def test_bind_without_fallback_ignores_fallback_keys(make):
    closure = make()
    closure.bind_runtime_parameters({**BASE_KEYS, **FALLBACK_KEYS})
    assert closure._fallback_obj is None and closure._fallback_ptr is None  # what _pack_params packs
    assert closure._params_bound


@pytest.mark.parametrize(
    "with_fallback, missing, stored",
    [
        (False, "log_M_BH", 0),
        (False, "log_R_in", 1),
        (False, "alpha", 2),
        (True, "log_M_fb_0", 3),
        (True, "log_t_fb", 3),
        (True, "beta_fb", 3),
    ],
)
@each_closure
def test_missing_key_raises_after_storing_earlier_values(make, with_fallback, missing, stored):
    closure = make(with_fallback)
    run_params = {**BASE_KEYS, **FALLBACK_KEYS}
    del run_params[missing]
    with pytest.raises(KeyError) as info:
        closure.bind_runtime_parameters(run_params)
    assert info.value.args == (missing,)
    values = [closure._M_BH, closure._R_in, closure._alpha]
    assert [not math.isnan(v) for v in values] == [k < stored for k in range(3)]
    assert closure._fallback_obj is None and not closure._params_bound


class Params(dict):
    pass


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda c: c.bind_runtime_parameters(None), TypeError, "'NoneType' object is not subscriptable"),
        (lambda c: c.bind_runtime_parameters(Params(BASE_KEYS)), TypeError,
         "Argument 'run_params' has incorrect type (expected dict, got Params)"),
        (lambda c: c.bind_runtime_parameters([]), TypeError,
         "Argument 'run_params' has incorrect type (expected dict, got list)"),
        (lambda c: c.bind_runtime_parameters(), TypeError,
         "bind_runtime_parameters() takes exactly 1 positional argument (0 given)"),
        (lambda c: c.bind_runtime_parameters({}, {}), TypeError,
         "bind_runtime_parameters() takes exactly 1 positional argument (2 given)"),
        (lambda c: c.bind_runtime_parameters(run_params={**BASE_KEYS, "alpha": "x"}), TypeError,
         "must be real number, not str"),
    ],
)
@each_closure
def test_bind_errors(make, call, error, message):
    with pytest.raises(error) as info:
        call(make())
    assert str(info.value) == message


@each_closure
def test_bind_takes_beta_fb_unconverted_and_propagates_the_holder_error(make):
    closure = make(True)
    closure.bind_runtime_parameters({**BASE_KEYS, **FALLBACK_KEYS})
    holder = closure._fallback_obj
    with pytest.raises(TypeError, match="must be real number, not str"):
        closure.bind_runtime_parameters({**BASE_KEYS, **FALLBACK_KEYS, "beta_fb": "steep"})
    assert closure._fallback_obj is holder  # replaced only after a successful construction
    assert closure._fallback_ptr == holder.ptr()


# ---------------------------------------------------------------------------
# Runs that must not start
# ---------------------------------------------------------------------------

STATE = np.array([2e30, 2e30 * math.sqrt(6.674e-8 * 2e39 * 1.4e13)])
NOT_BOUND = re.escape("runtime parameters are not bound: call bind_runtime_parameters(run_params) first")


@each_closure
@pytest.mark.parametrize("with_fallback", [False, True])
def test_unbound_or_half_bound_closure_refuses_to_run(make, with_fallback):
    closure = make(with_fallback)
    with pytest.raises(RuntimeError, match=f"^{NOT_BOUND}$"):
        run_one_zone_model(STATE.copy(), 3.5e6, 1e7, 10, closure)
    # a failed bind leaves it unbound: with fallback it would otherwise pack a null fallback record
    with pytest.raises(KeyError):
        closure.bind_runtime_parameters({**BASE_KEYS, "log_R_c": 30.0} if with_fallback else {"log_M_BH": 1.0})
    with pytest.raises(RuntimeError, match=f"^{NOT_BOUND}$"):
        run_one_zone_model(STATE.copy(), 3.5e6, 1e7, 10, closure)
    closure.bind_runtime_parameters({**BASE_KEYS, **FALLBACK_KEYS})
    assert run_one_zone_model(STATE.copy(), 3.5e6, 1e7, 10, closure).shape == (closure.n_result_fields, 10)


@each_closure
def test_rebinding_or_replacing_the_opacity_during_a_run_is_refused(make):
    closure = make(True)
    closure.bind_runtime_parameters({**BASE_KEYS, **FALLBACK_KEYS})
    done = []
    worker = threading.Thread(
        target=lambda: done.append(run_one_zone_model(STATE.copy(), 3.5e6, 1e30, 200_000, closure, 1e-6)))
    worker.start()
    try:
        deadline = time.monotonic() + 10
        while closure._runs_in_progress == 0 and worker.is_alive() and time.monotonic() < deadline:
            time.sleep(1e-4)
        if closure._runs_in_progress == 0:
            pytest.skip("the run ended before the main thread got the lock")
        holder = closure._fallback_obj
        with pytest.raises(RuntimeError, match="cannot re-bind the runtime parameters while a run"):
            closure.bind_runtime_parameters({**BASE_KEYS, **FALLBACK_KEYS})
        with pytest.raises(RuntimeError, match="cannot replace the opacity while a run"):
            closure.opacity = KramersOpacity()
        assert closure._fallback_obj is holder and closure._params_bound
    finally:
        worker.join()
    assert done and done[0].shape[0] == closure.n_result_fields
    closure.bind_runtime_parameters({**BASE_KEYS, **FALLBACK_KEYS})  # idle again


# ---------------------------------------------------------------------------
# Parameter holders
# ---------------------------------------------------------------------------

def test_fallback_holder_owns_its_record():
    holder = CFallback(1.5, R_c=2.5, t_fb=3, beta_fb=5 / 3)
    assert (holder.M_fb_0, holder.R_c, holder.t_fb, holder.beta_fb) == (1.5, 2.5, 3.0, 5 / 3)
    record = FallbackParams.from_address(holder.ptr())
    assert (record.M_fb_0, record.R_c, record.t_fb, record.beta_fb) == (1.5, 2.5, 3.0, 5 / 3)
    assert repr(holder) == f"CFallback(M_fb_0=1.5, R_c=2.5, t_fb=3.0, beta_fb={5 / 3!r})"
    with pytest.raises(AttributeError):
        holder.t_fb = 1.0
    advection = CAdvection(0.25)
    assert advection.xi == 0.25 and c_double.from_address(advection.ptr()).value == 0.25
    assert "__native_vtable__" in vars(CFallback) and "__native_vtable__" in vars(CAdvection)


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: CFallback(1, 2, 3), "__cinit__() takes exactly 4 positional arguments (3 given)"),
        (lambda: CFallback(1, 2, 3, beta=4), "__cinit__() got an unexpected keyword argument 'beta'"),
        (lambda: CAdvection(), "__cinit__() takes exactly 1 positional argument (0 given)"),
        (lambda: CAdvection("x"), "must be real number, not str"),
    ],
)
def test_holder_construction_errors(make, message):
    with pytest.raises(TypeError) as info:
        make()
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# Equation of state
# ---------------------------------------------------------------------------

def exact_cs(T, mu, Sigma, Omega):
    """The positive root of c^2 = g + b c in 60-digit decimal arithmetic."""
    D = decimal.Decimal
    with decimal.localcontext() as ctx:
        ctx.prec = 60
        g = D(C.K_B_CGS) * D(T) / (D(mu) * D(C.M_P_CGS))
        b = (D(2) * D(math.pi)).sqrt() * D(C.RAD_A_CGS) * D(T) ** 4 / (D(3) * D(Sigma) * D(Omega))
        return float((b + (b * b + 4 * g).sqrt()) / 2)


@pytest.mark.parametrize(
    "T, Sigma",
    [(1e3, 1e4), (1e5, 1e4), (1e6, 1e3), (1e8, 1e2), (1e10, 1.0), (1e13, 1e-2)],  # gas- to radiation-dominated
)
def test_sound_speed_is_the_accurate_root(T, Sigma):
    mu, Omega = 0.6, 2e-4
    cs = _stavemark.compute_gas_rad_cs(T, mu, Sigma, Omega)
    assert cs == pytest.approx(exact_cs(T, mu, Sigma, Omega), rel=4e-16)
    assert native("compute_gas_rad_cs")(T, mu, Sigma, Omega) == cs  # lock-free native call, same value


def test_sound_speed_limits_and_nan():
    g = C.K_B_CGS * 1e4 / (0.6 * C.M_P_CGS)
    assert _stavemark.compute_gas_rad_cs(1e4, 0.6, 1e10, 1.0) == pytest.approx(math.sqrt(g), rel=1e-12)
    b = math.sqrt(2 * math.pi) * C.RAD_A_CGS * 1e12 ** 4 / (3 * 1e-3 * 1.0)
    assert _stavemark.compute_gas_rad_cs(1e12, 0.6, 1e-3, 1.0) == pytest.approx(b, rel=1e-12)
    for k in range(4):
        args = [1e6, 0.6, 1e3, 2e-4]
        args[k] = NAN
        assert math.isnan(_stavemark.compute_gas_rad_cs(*args))
    assert math.isnan(_stavemark.compute_gas_rad_cs(NAN, 0.6, 0.0, 2e-4))  # next to an infinite term too


# ---------------------------------------------------------------------------
# Viscous derivative
# ---------------------------------------------------------------------------

def viscous(M, J, t_visc, source=(0.0, 0.0), MBH=2e39, R_in=9e11, epsilon=1e-3):
    step = DiskStep(-7.0, *source)
    params = DiskParameters(MBH, R_in, 0.1, 0.6, epsilon, None, None, None)
    result = ClosureResult(t_visc=t_visc)
    status = native("viscous_derivative_func")(ref(DiskState(0.0, M, J)), ref(DiskDerived(1.0, 1.0, 1.0)),
                                               ref(params), ref(result), ref(step))
    return status, (step.dt, step.dM_dt, step.dJ_dt)


def test_viscous_rates_and_step():
    M, J, t_visc = 1e30, 1e50, 1e9
    status, (dt, dM, dJ) = viscous(M, J, t_visc, source=(1e20, 3e40))
    mdot = C.DISK_F0 * M / t_visc
    j_in = math.sqrt(C.G_CGS * 2e39 * 9e11)
    assert status == 0
    assert dM == pytest.approx(1e20 - mdot, rel=1e-15) and dJ == pytest.approx(3e40 - mdot * j_in, rel=1e-15)
    assert dt == pytest.approx(1e-3 * min(t_visc, M / abs(dM), J / abs(dJ)), rel=1e-15)


def test_viscous_step_skips_an_exactly_zero_rate():
    M, J, t_visc = 1e30, 1e50, 1e9
    mdot = C.DISK_F0 * M / t_visc  # a source that exactly balances accretion
    status, (dt, dM, dJ) = viscous(M, J, t_visc, source=(mdot, 0.0))
    assert status == 0 and dM == 0.0
    assert dt == pytest.approx(1e-3 * min(t_visc, J / abs(dJ)), rel=1e-15)


@pytest.mark.parametrize("t_visc, M", [(NAN, 1e30), (math.inf, 1e30), (0.0, 1e30), (1e9, NAN)])
def test_viscous_refuses_non_finite_input(t_visc, M):
    status, step = viscous(M, 1e50, t_visc)
    assert status != 0 and step == (-7.0, 0.0, 0.0)  # nothing written


# ---------------------------------------------------------------------------
# Writer
# ---------------------------------------------------------------------------

LOGS = dict(t_visc=5e8, log_T_eff=math.log(3e4), log_T_c=math.log(2e5), log_tau=0.0, log_cs=math.log(4e6),
            log_nu=math.log(6e15), log_q_visc=math.log(7e3), log_rho=math.log(8e-9))


def write(R, out, column=1, factory=ctypes.CFUNCTYPE):
    return native("standard_writer_func", factory)(
        column, ref(DiskState(10.0, 2e30, 3e50)), ref(DiskDerived(R, 5e3, 2e-4)), None,
        ref(ClosureResult(**LOGS)), ref(DiskStep(11.0, -12.0, -13.0)),
        out.ctypes.data_as(P(c_double)), out.shape[1])


def test_writer_rows():
    out = np.full((20, 3), -1.0)
    status = write(1.4e13, out)
    H = 4e6 / 2e-4
    expected = [1.0, 10.0, 2e30, 3e50, 1.4e13, 5e3, 2e-4, 3e4, 2e5, 1.0, 4e6, 6e15, 7e3, -12.0, -13.0, 11.0, 5e8,
                H, H / 1.4e13, 8e-9]
    assert status == 0
    np.testing.assert_allclose(out[:, 1], expected, rtol=1e-14)
    assert (out[:, [0, 2]] == -1.0).all()  # other columns untouched


def test_writer_row_table():
    # the one table of the rows: a name, a CGS unit and a meaning per row written
    fields = _writer.RESULT_FIELDS
    assert len(fields) == _writer.N_RESULT_FIELDS_PY == 20
    names = [name for name, _, _ in fields]
    assert len(set(names)) == 20 and all(name.isidentifier() for name in names)
    assert all(isinstance(unit, str) and meaning for _, unit, meaning in fields)
    assert all(f" {name} " in _writer.__doc__ for name in names)


def test_writer_zero_radius_raises_float_division():
    out = np.full((20, 2), -1.0)
    with pytest.raises(ZeroDivisionError, match="^float division$"):
        write(0.0, out, column=0, factory=ctypes.PYFUNCTYPE)
    assert (out[18:, 0] == -1.0).all() and (out[:18, 0] != -1.0).all()  # rows 18 and 19 unwritten


# ---------------------------------------------------------------------------
# Fallback source
# ---------------------------------------------------------------------------

def source(t, fallback, step, MBH=2e39, factory=ctypes.CFUNCTYPE):
    record = FallbackParams(*fallback) if fallback else None
    params = DiskParameters(MBH, 9e11, 0.1, 0.6, 1e-3, ctypes.pointer(record) if record else None, None, None)
    return native("fallback_source_func", factory)(ref(DiskState(t, 1.0, 1.0)), None, ref(params), None, ref(step))


@pytest.mark.parametrize(
    "t, fallback, rate",
    [
        (3.5e6, (1.9e26, 1.4e13, 3.5e6, 5 / 3), 1.9e26),  # t = t_fb: M_fb_0 whatever beta_fb
        (7e6, (1.9e26, 1.4e13, 3.5e6, 5 / 3), 1.9e26 * 2 ** (-5 / 3)),
        (1e9, (1.9e26, 1.4e13, 3.5e6, 0.0), 1.9e26),  # beta_fb = 0: constant supply
    ],
)
def test_fallback_adds_rates(t, fallback, rate):
    step = DiskStep(0.5, 1.0, 2.0)
    status = source(t, fallback, step)
    dt, dM, dJ = step.dt, step.dM_dt, step.dJ_dt
    j = math.sqrt(C.G_CGS * 2e39 * fallback[1])
    assert status == 0 and dt == 0.5
    assert dM - 1.0 == pytest.approx(rate, rel=1e-14)
    assert dJ - 2.0 == pytest.approx(rate * j, rel=1e-14)


@pytest.mark.parametrize(
    "fallback, error, message",
    [
        ((1.9e26, 1.4e13, 0.0, 5 / 3), ZeroDivisionError, "float division"),
        (None, RuntimeError, "fallback_source_func: the packed parameters carry no fallback record"),
    ],
)
def test_fallback_failures_leave_the_step_alone(fallback, error, message):
    step = DiskStep(0.5, 1.0, 2.0)
    with pytest.raises(error, match=f"^{message}$"):
        source(3.5e6, fallback, step, factory=ctypes.PYFUNCTYPE)
    assert (step.dt, step.dM_dt, step.dJ_dt) == (0.5, 1.0, 2.0)


# ---------------------------------------------------------------------------
# Thermal solves
# ---------------------------------------------------------------------------

THERMAL = [("hollin_closure_func", False), ("sedge_closure_func", True)]
DISK = DiskDerived(1.4e13, 5e3, 2.2e-4)


def solve(name, closure, prev_log_T_c, derived=DISK, factory=ctypes.CFUNCTYPE):
    prev = ClosureResult(log_T_c=prev_log_T_c)
    out = ClosureResult(*([-3.0] * 10))
    status = native(name, factory)(ref(DiskState(0.0, 1.0, 1.0)), ref(derived), ref(params_of(closure)), ref(prev),
                                   ref(out))
    return status, {name: getattr(out, name) for name in RESULT_FIELDS}


@pytest.mark.parametrize("name, gas_only", THERMAL)
@pytest.mark.parametrize("kramers", [False, True])
def test_thermal_solve_outputs(name, gas_only, kramers):
    closure = bound(gas_only)
    if kramers:
        closure.opacity = KramersOpacity()
    status, out = solve(name, closure, 0.0)
    assert status == 0 and out["dM_dt"] == out["dJ_dt"] == -3.0  # reserved fields untouched
    assert solve(name, closure, -0.0) == (status, out)  # -0.0 also means "no previous solution"
    T, Sigma, Omega, alpha = math.exp(out["log_T_c"]), DISK.Sigma, DISK.Omega, 0.1
    cs, rho = math.exp(out["log_cs"]), math.exp(out["log_rho"])
    kappa = closure.opacity.opacity(rho, T)
    balance = C.SIGMA_SB_CGS * T ** 4 / (27 / 32 * alpha * kappa * Omega * Sigma ** 2 * cs ** 2)
    assert abs(math.log(balance)) < 1e-9
    g = C.K_B_CGS * T / (closure._mu * C.M_P_CGS)
    expected_cs2 = g if gas_only else g + C.RAD_A_CGS * T ** 4 / (3 * rho)
    assert cs ** 2 == pytest.approx(expected_cs2, rel=1e-13)
    assert rho == pytest.approx(Sigma * Omega / (math.sqrt(2 * math.pi) * cs), rel=1e-13)
    assert out["log_T_eff"] - out["log_T_c"] == pytest.approx(0.25 * math.log(8 / 3 / (kappa * Sigma)), abs=1e-13)
    assert math.exp(out["log_tau"]) == pytest.approx(kappa * Sigma / 2, rel=1e-13)
    nu = alpha * cs ** 2 / Omega
    assert math.exp(out["log_nu"]) == pytest.approx(nu, rel=1e-13)
    assert math.exp(out["log_q_visc"]) == pytest.approx(9 / 8 * nu * Sigma * Omega ** 2, rel=1e-13)
    assert out["t_visc"] == pytest.approx(DISK.R ** 2 / nu, rel=1e-13)
    # a warm start from the root is used as given and lands on the same temperature
    again = solve(name, closure, out["log_T_c"])
    assert again[0] == 0 and again[1]["log_T_c"] == pytest.approx(out["log_T_c"], abs=1e-9)
    # the lock-free twin of the same code agrees to the last bit
    assert thermal_solve_plain(closure, DISK.R, Sigma, Omega, 0.0)[2] == (out["log_T_c"], out["log_cs"],
                                                                        out["log_rho"])


@pytest.mark.parametrize("name, gas_only", THERMAL)
def test_nan_previous_temperature_fails_after_the_full_expansion_budget(name, gas_only):
    closure = bound(gas_only)
    status, out = solve(name, closure, NAN)
    assert status == 2 and out == {k: -3.0 for k in RESULT_FIELDS}  # out untouched
    # one evaluation at the guess, then the first bracket and 64 expansions, two ends each
    assert thermal_solve_plain(closure, DISK.R, DISK.Sigma, DISK.Omega, NAN) == (2, 1 + 2 * 65, None)


def test_gas_radiation_solve_fails_above_the_maximum_surface_density():
    heavy = DiskDerived(1.4e13, 4e5, 2.2e-4)  # half a solar mass at the circularisation radius
    status, out = solve("hollin_closure_func", bound(), 0.0, heavy)
    assert status == 2 and out["log_T_c"] == -3.0
    assert solve("sedge_closure_func", bound(True), 0.0, heavy)[0] == 0  # gas pressure alone has a root


@pytest.mark.parametrize("name, gas_only", THERMAL)
def test_opacity_error_propagates_with_native_frames(name, gas_only):
    closure = bound(gas_only)
    closure.opacity = C_GreyMurkwell()  # abstract: its _log_opacity raises
    with pytest.raises(NotImplementedError) as info:
        solve(name, closure, 0.0, factory=ctypes.PYFUNCTYPE)
    frames = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    model = name.split("_")[0]
    assert f"velquor.dynamics.accretion.one_zone.models._{model}.{model}_residual" in frames
    assert f"velquor.dynamics.accretion.one_zone.models._{model}.{name}" in frames
    assert "velquor.math_utils._tarnwick.find_root" in frames


@pytest.mark.parametrize("module", [_hollin, _sedge, _writer, _fallback, _stavemark, _viscous, _parcelwrap])
def test_second_initialisation_is_refused(module):
    import importlib
    import sys

    name = module.__name__
    saved = sys.modules.pop(name)
    try:
        with pytest.raises(RuntimeError) as info:
            importlib.import_module(name)
        short = name.rsplit(".", 1)[1]
        assert str(info.value) == f"Module '{short}' has already been imported. Re-initialisation is not supported."
    finally:
        sys.modules[name] = saved
