"""Kramers + electron-scattering opacity, the constant electron-scattering law and KramersOpacity."""

import copy
import ctypes
import math
import pickle
import threading

import numpy as np
import pytest

from velquor.dynamics.accretion.one_zone import closure
from velquor.radiation.opacity import ElectronScatteringOpacity, KramersOpacity
from velquor.radiation.opacity.grey_opacity.rosseland._plumtree import C_PlumtreeOpacity
from velquor.radiation.opacity.murkwell import C_GreyMurkwell

LN2 = math.log(2.0)
REFUSAL = "no default __reduce__ due to non-trivial __cinit__"


def kramers(kappa0, kappa_es, rho, T):
    return kappa_es + kappa0 * rho * T**-3.5


# ---------------------------------------------------------------------------
# The law
# ---------------------------------------------------------------------------

def test_default_electron_scattering():
    law = C_PlumtreeOpacity(1.0)
    assert law.opacity(1.0, 1.0) == pytest.approx(1.34, rel=1e-15)
    assert law.log_opacity(0.0, 0.0) == pytest.approx(math.log(1.34), rel=1e-15)


@pytest.mark.parametrize("rho, T", [(1e-9, 1e5), (1e-3, 3e6), (10.0, 1e4), (1e-12, 1e8)])
def test_opacity_matches_the_formula_and_argument_order(rho, T):
    law = C_PlumtreeOpacity(5e24, 0.4)
    assert law.opacity(rho, T) == pytest.approx(kramers(5e24, 0.4, rho, T), rel=1e-13)
    assert law.log_opacity(math.log(T), math.log(rho)) == pytest.approx(math.log(kramers(5e24, 0.4, rho, T)),
                                                                        rel=1e-13, abs=1e-13)
    assert law.opacity(T, rho) != pytest.approx(law.opacity(rho, T))


def test_equal_terms():
    law = C_PlumtreeOpacity(2.0, 2.0)  # a = b = ln 2 at rho = T = 1
    assert law.log_opacity(0.0, 0.0) == pytest.approx(2 * LN2, rel=1e-15)
    assert law.dlogkappa_dlogrho(0.0, 0.0) == pytest.approx(0.5, rel=1e-15)
    assert law.dlogkappa_dlogT(0.0, 0.0) == pytest.approx(-1.75, rel=1e-15)


@pytest.mark.parametrize("log_T, log_rho, w", [(40.0, -40.0, 0.0), (5.0, 60.0, 1.0)])
def test_regimes(log_T, log_rho, w):
    law = C_PlumtreeOpacity(1.0, 0.34)
    assert law.dlogkappa_dlogrho(log_T, log_rho) == pytest.approx(w, abs=1e-12)
    assert law.dlogkappa_dlogT(log_T, log_rho) == pytest.approx(-3.5 * w, abs=1e-12)
    if w == 0.0:
        assert law.log_opacity(log_T, log_rho) == pytest.approx(math.log(0.34), rel=1e-15)


@pytest.mark.parametrize("kappa0, kappa_es, expected", [
    (0.0, 0.34, (0.34, 0.0, 0.0)),                      # no Kramers term
    (1e24, 0.0, (kramers(1e24, 0.0, 1e-8, 1e5), 1.0, -3.5)),  # pure Kramers
    (0.0, 0.0, (math.nan,) * 3),
    (-1.0, 0.34, (math.nan,) * 3),
    (1.0, -0.34, (math.nan,) * 3),
])
def test_degenerate_coefficients(kappa0, kappa_es, expected):
    law = C_PlumtreeOpacity(kappa0, kappa_es)
    log_T, log_rho = math.log(1e5), math.log(1e-8)
    got = (law.opacity(1e-8, 1e5), law.dlogkappa_dlogrho(log_T, log_rho), law.dlogkappa_dlogT(log_T, log_rho))
    np.testing.assert_allclose(got, expected, rtol=1e-13, atol=0)


def test_zero_density_and_temperature():
    law = C_PlumtreeOpacity(5e24, 0.34)
    assert law.opacity(0.0, 1e5) == pytest.approx(0.34, rel=1e-15)
    assert law.opacity(1e-8, 0.0) == math.inf


@pytest.mark.parametrize("log_T", np.linspace(7.0, 17.0, 6))
@pytest.mark.parametrize("log_rho", np.linspace(-25.0, 0.0, 6))
def test_derivatives_match_finite_differences(log_T, log_rho):
    law = C_PlumtreeOpacity(5e24, 0.34)
    h = 1e-5
    d_rho = (law.log_opacity(log_T, log_rho + h) - law.log_opacity(log_T, log_rho - h)) / (2 * h)
    d_T = (law.log_opacity(log_T + h, log_rho) - law.log_opacity(log_T - h, log_rho)) / (2 * h)
    assert law.dlogkappa_dlogrho(log_T, log_rho) == pytest.approx(d_rho, abs=1e-8)
    assert law.dlogkappa_dlogT(log_T, log_rho) == pytest.approx(d_T, abs=3e-8)


# ---------------------------------------------------------------------------
# Construction and pickling
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "__cinit__() takes at least 1 positional argument (0 given)"),
    ((1.0, 2.0, 3.0), {}, "__cinit__() takes at most 2 positional arguments (3 given)"),
    ((), {"kappa_es": 1.0}, "__cinit__() takes at least 1 positional argument (0 given)"),
    ((1.0,), {"kappa": 1.0}, "__cinit__() got an unexpected keyword argument 'kappa'"),
    ((1.0,), {"kappa0": 1.0}, "__cinit__() got multiple values for keyword argument 'kappa0'"),
    (("5e24",), {}, "must be real number, not str"),
])
def test_construction_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        C_PlumtreeOpacity(*args, **kwargs)
    assert str(info.value) == message


def test_keywords_and_subclasses_get_arguments_at_allocation():
    assert C_PlumtreeOpacity(kappa_es=1, kappa0=2).opacity(1.0, 1.0) == pytest.approx(3.0, rel=1e-15)

    class Quiet(C_PlumtreeOpacity):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match="at least 1 positional argument"):
        Quiet()


@pytest.mark.parametrize("obj", [C_PlumtreeOpacity(1.0), KramersOpacity()])
def test_pickling_is_refused(obj):
    for attempt in (lambda: pickle.dumps(obj), lambda: copy.copy(obj), obj.__reduce__,
                    lambda: obj.__setstate__(())):
        with pytest.raises(TypeError) as info:
            attempt()
        assert str(info.value) == REFUSAL
    with pytest.raises(TypeError, match=r"__setstate__\(\) takes exactly 1 positional argument \(0 given\)"):
        obj.__setstate__()


# ---------------------------------------------------------------------------
# Native slots without the interpreter lock (as the integration loop calls them)
# ---------------------------------------------------------------------------

SLOT = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_void_p, ctypes.c_double, ctypes.c_double)  # releases the lock


def native_slots(cls):
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    table = get(cls.__dict__["__native_vtable__"], b"GreyOpacityVTable")
    return [SLOT(address) for address in (ctypes.c_void_p * 4).from_address(table)]


def test_slots_run_without_the_lock_and_agree_with_the_methods():
    law = C_PlumtreeOpacity(5e24, 0.34)
    opacity, log_opacity, d_rho, d_T = native_slots(C_PlumtreeOpacity)
    results = []

    def work():  # from another thread as well, none of them holding the lock
        for _ in range(200):
            results.append((opacity(id(law), 1e-8, 1e5), log_opacity(id(law), 11.5, -18.4),
                            d_rho(id(law), 11.5, -18.4), d_T(id(law), 11.5, -18.4)))

    threads = [threading.Thread(target=work) for _ in range(3)]
    for t in threads:
        t.start()
    work()
    for t in threads:
        t.join()
    expected = (law.opacity(1e-8, 1e5), law.log_opacity(11.5, -18.4), law.dlogkappa_dlogrho(11.5, -18.4),
                law.dlogkappa_dlogT(11.5, -18.4))
    assert set(results) == {expected}


# ---------------------------------------------------------------------------
# The script-facing laws of the package
# ---------------------------------------------------------------------------

def test_kramers_opacity_defaults():
    law = KramersOpacity()
    assert isinstance(law, C_PlumtreeOpacity) and not hasattr(law, "__dict__")
    assert law.opacity(1e-8, 1e5) == pytest.approx(kramers(5e24, 0.34, 1e-8, 1e5), rel=1e-13)
    assert KramersOpacity(kappa0=1.0, kappa_es=0.0).opacity(1.0, 1.0) == pytest.approx(1.0, rel=1e-15)


def test_electron_scattering_opacity():
    law = ElectronScatteringOpacity()
    assert isinstance(law, C_GreyMurkwell)
    assert law.kappa == closure.KAPPA_ES == 0.34
    assert law.opacity(1e-8, 1e5) == 0.34 and law.opacity(0.0, 0.0) == 0.34
    assert law.log_opacity(11.5, -18.4) == math.log(0.34)
    assert law.dlogkappa_dlogrho(11.5, -18.4) == 0.0 and law.dlogkappa_dlogT(11.5, -18.4) == 0.0
    np.testing.assert_array_equal(law.opacity_array(np.ones(3), np.ones(3)), np.full(3, 0.34))
    assert type(pickle.loads(pickle.dumps(law))) is ElectronScatteringOpacity
    with pytest.raises(TypeError, match=r"__cinit__\(\) takes exactly 0 positional arguments \(1 given\)"):
        ElectronScatteringOpacity(0.4)


def test_electron_scattering_subclass_keeps_its_attributes_when_pickled():
    obj = Labelled()
    obj.label = "default"
    back = pickle.loads(pickle.dumps(obj))
    assert type(back) is Labelled and back.label == "default" and back.opacity(1.0, 1.0) == 0.34


class Labelled(ElectronScatteringOpacity):
    pass


def test_electron_reduce_reads_the_class_after_user_code_ran(run_isolated):
    out = run_isolated(
        """
        import gc
        from velquor.radiation.opacity import ElectronScatteringOpacity

        class Kept(ElectronScatteringOpacity):
            pass

        def make():
            class Gone(ElectronScatteringOpacity):
                @property
                def __dict__(self):
                    self.__class__ = Kept  # the last reference to Gone goes
                    gc.collect()
                    return {}
            return Gone()

        r = make().__reduce__()
        print(r[0].__name__, r[1])
        """
    )
    assert out.split() == ["Kept", "()"]
