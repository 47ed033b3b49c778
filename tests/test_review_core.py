"""Hardening of the disk-model core against Python code that runs while a run is
being prepared (allocation, warnings, finalizers) and against result arrays or
closures that do not match what the native loop writes."""

import ctypes
import math
import warnings

import numpy as np
import pytest

from velquor import _testsupport
from velquor.dynamics.accretion.one_zone.adaptive import run_one_zone_model_adaptive
from velquor.dynamics.accretion.one_zone.integrator import run_one_zone_model
from velquor.dynamics.accretion.one_zone.models._hollin import FullPressureClosure
from velquor.radiation.opacity import KramersOpacity

BASE_KEYS = {"log_M_BH": math.log(2e39), "log_R_in": math.log(9e11), "alpha": 0.1}
FALLBACK_KEYS = {"log_M_fb_0": math.log(1.9e26), "log_R_c": math.log(1.4e13), "log_t_fb": math.log(3.5e6),
                 "beta_fb": 5.0 / 3.0}
STATE = np.array([2e30, 2e30 * math.sqrt(6.674e-8 * 2e39 * 1.4e13)])

# (integrator, the numpy function it allocates its result with)
INTEGRATORS = [
    pytest.param(lambda closure: run_one_zone_model(STATE.copy(), 3.5e6, 1e7, 5, closure), "zeros", id="euler"),
    pytest.param(lambda closure: run_one_zone_model_adaptive(STATE.copy(), 3.5e6, 1e7, closure, max_steps=5),
                 "empty", id="adaptive"),
]


def bound_closure():
    closure = FullPressureClosure(True, True)
    closure.bind_runtime_parameters({**BASE_KEYS, **FALLBACK_KEYS})
    return closure


@pytest.mark.parametrize("integrate, allocator", INTEGRATORS)
@pytest.mark.parametrize("replace", ["opacity", "parameters"])
def test_closure_is_pinned_from_packing_on(monkeypatch, integrate, allocator, replace):
    # Python code that runs while the result is allocated (here numpy's own
    # function; in the wild a finalizer or another thread) must not be able to
    # free what the packed record already points into.
    closure = bound_closure()
    keep = (closure.opacity, closure._fallback_obj)  # keep them alive if the refusal is missing
    allocate = getattr(np, allocator)
    refusals = []

    def allocate_and_replace(*args, **kwargs):
        try:
            if replace == "opacity":
                closure.opacity = KramersOpacity()
            else:
                closure.bind_runtime_parameters({**BASE_KEYS, **FALLBACK_KEYS})
        except RuntimeError as exc:
            refusals.append(str(exc))
        return allocate(*args, **kwargs)

    monkeypatch.setattr(np, allocator, allocate_and_replace)
    result = integrate(closure)
    monkeypatch.undo()
    assert len(refusals) == 1 and "while a run is using this closure" in refusals[0]
    assert closure.opacity is keep[0] and closure._fallback_obj is keep[1]
    assert closure._runs_in_progress == 0 and result.shape[0] == 20


@pytest.mark.parametrize("integrate, allocator", INTEGRATORS)
@pytest.mark.parametrize("shape", [(1, 1), (20, 2), (2, 5)])
def test_result_of_the_wrong_shape_is_refused(monkeypatch, integrate, allocator, shape):
    # the writer writes rows x capacity doubles through the view: a smaller
    # array from a replaced numpy function must be refused, not overrun
    allocate = getattr(np, allocator)
    monkeypatch.setattr(np, allocator, lambda *args, **kwargs: allocate(shape))
    closure = bound_closure()
    with pytest.raises(RuntimeError, match=r"^the result array has shape \(\d+, \d+\), expected \(20, \d+\)$"):
        integrate(closure)
    assert closure._runs_in_progress == 0


def test_bind_class_keeps_the_method_table_alive_across_its_size_warning(monkeypatch):
    # The "larger than compiled" warning runs Python code (here showwarning),
    # which may drop the class's table capsule; binding must still hand out the
    # table it checked, not read the freed capsule (whose memory the next
    # capsule of the same size reuses).
    import sys
    import types

    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    tag, other = ctypes.create_string_buffer(b"ReviewVTable"), ctypes.create_string_buffer(b"Other")
    record = ctypes.c_double(0.0)

    class Holder:
        pass

    Holder.__native_vtable__ = new_capsule(ctypes.addressof(record), tag, None)
    module = types.ModuleType("velquor_review_bind_class")
    module.Holder = Holder
    monkeypatch.setitem(sys.modules, module.__name__, module)
    reused = []

    def drop_the_capsule(*args, **kwargs):
        del Holder.__native_vtable__
        reused.extend(new_capsule(ctypes.addressof(record), other, None) for _ in range(8))

    with warnings.catch_warnings():
        warnings.simplefilter("always")
        monkeypatch.setattr(warnings, "showwarning", drop_the_capsule)
        assert _testsupport.bind_class(module.__name__, "Holder", 1, "ReviewVTable") is Holder
    assert reused


@pytest.mark.parametrize("rows", [1, 3, 7])
@pytest.mark.parametrize("adaptive", [False, True], ids=["euler", "adaptive"])
def test_scripted_writer_stays_within_fewer_rows(rows, adaptive):
    # the test closure's row count is settable: its writer must write no more
    # rows than the result has
    from velquor.radiation.opacity.murkwell import C_GreyMurkwell

    def run(n_rows=None):
        closure = _testsupport.ScriptedClosure(dt=1.0, dM_dt=-0.01)
        closure.opacity = C_GreyMurkwell()
        if n_rows is not None:
            closure.n_result_fields = n_rows
        state = np.array([1.0, 1.0])
        if adaptive:
            return run_one_zone_model_adaptive(state, 0.0, 10.0, closure, max_steps=50)
        return run_one_zone_model(state, 0.0, 10.0, 50, closure)

    full, few = run(), run(rows)
    assert few.shape == (rows, full.shape[1])
    np.testing.assert_array_equal(few, full[:rows])
