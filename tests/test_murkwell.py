"""Opacity base classes: abstract slots, argument binding, array methods, pickling."""

import array
import pickle
import traceback

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velquor.radiation.opacity import murkwell
from velquor.radiation.opacity.grey_opacity.rosseland._plumtree import C_PlumtreeOpacity
from velquor.radiation.opacity.murkwell import C_GreyMurkwell, C_Murkwell

GREY_LOG = " must implement _log_opacity(log_T, log_rho)."
FREQ_LOG = " must implement _log_opacity(log_nu, log_T, log_rho)."
CHECKSUM = 0xE3B0C44


class GreyScript(C_GreyMurkwell):
    # A script method named like a slot must not replace the native slot.
    def _log_opacity(self, log_T, log_rho):
        return 1.0


class FreqScript(C_Murkwell):
    pass


# ---------------------------------------------------------------------------
# Abstract slots
# ---------------------------------------------------------------------------

GREY_ABSTRACT = [
    ("opacity", GREY_LOG),
    ("log_opacity", GREY_LOG),
    ("dlogkappa_dlogrho", " must implement _dlogkappa_dlogrho(log_T, log_rho)."),
    ("dlogkappa_dlogT", " must implement _dlogkappa_dlogT(log_T, log_rho)."),
]
FREQ_ABSTRACT = [
    ("opacity", FREQ_LOG),
    ("log_opacity", FREQ_LOG),
    ("dlogkappa_dlogrho", " must implement _dlogkappa_dlogrho(log_nu, log_T, log_rho)."),
    ("dlogkappa_dlogT", " must implement _dlogkappa_dlogT(log_nu, log_T, log_rho)."),
    ("dlogkappa_dlognu", " must implement _dlogkappa_dlognu(log_nu, log_T, log_rho)."),
]


@pytest.mark.parametrize("cls", [C_GreyMurkwell, GreyScript])
@pytest.mark.parametrize("method, suffix", GREY_ABSTRACT)
def test_grey_abstract_message(cls, method, suffix):
    with pytest.raises(NotImplementedError) as info:
        getattr(cls(), method)(10.0, -20.0)
    assert info.value.args == (cls.__name__ + suffix,)


@pytest.mark.parametrize("cls", [C_Murkwell, FreqScript])
@pytest.mark.parametrize("method, suffix", FREQ_ABSTRACT)
def test_freq_abstract_message(cls, method, suffix):
    with pytest.raises(NotImplementedError, match=r"^\w+ must") as info:
        getattr(cls(), method)(1.0, 2.0, 3.0)
    assert str(info.value) == cls.__name__ + suffix


def test_class_name_that_is_not_a_string_is_formatted():
    class Meta(type):
        @property
        def __name__(cls):
            return 42

    class Odd(C_GreyMurkwell, metaclass=Meta):
        pass

    with pytest.raises(NotImplementedError, match=r"^42 must implement _log_opacity"):
        Odd().log_opacity(0.0, 0.0)


def test_default_opacity_names_both_operations_in_the_traceback():
    with pytest.raises(NotImplementedError) as info:
        C_GreyMurkwell().opacity(1e-9, 1e5)
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert "velquor.radiation.opacity.murkwell.C_GreyMurkwell._opacity" in names
    assert "velquor.radiation.opacity.murkwell.C_GreyMurkwell._log_opacity" in names


@pytest.mark.parametrize("cls", [C_GreyMurkwell, C_Murkwell])
def test_construction_accepts_and_ignores_arguments(cls):
    assert type(cls(1, 2, x=3)) is cls
    assert not hasattr(cls(), "__dict__")


# ---------------------------------------------------------------------------
# Argument binding
# ---------------------------------------------------------------------------

GREY_METHODS = ["opacity", "log_opacity", "dlogkappa_dlogrho", "dlogkappa_dlogT", "opacity_array",
                "log_opacity_array", "dlogkappa_dlogrho_array", "dlogkappa_dlogT_array"]
FREQ_METHODS = ["opacity", "log_opacity", "dlogkappa_dlogrho", "dlogkappa_dlogT", "dlogkappa_dlognu",
                "log_opacity_array", "dlogkappa_dlogrho_array", "dlogkappa_dlogT_array", "dlogkappa_dlognu_array"]


@pytest.mark.parametrize("obj, method, count", [(C_GreyMurkwell(), m, 2) for m in GREY_METHODS]
                         + [(C_Murkwell(), m, 3) for m in FREQ_METHODS])
@pytest.mark.parametrize("given_", [0, 1, 4])
def test_argument_count_message(obj, method, count, given_):
    expected = f"{method}() takes exactly {count} positional arguments ({given_} given)"
    with pytest.raises(TypeError) as info:
        getattr(obj, method)(*[1.0] * given_)
    assert str(info.value) == expected


def test_keyword_calls():
    law = C_PlumtreeOpacity(1e24)
    assert law.log_opacity(log_rho=-20.0, log_T=10.0) == law.log_opacity(10.0, -20.0)
    assert law.opacity(1e-9, T=1e5) == law.opacity(rho=1e-9, T=1e5)
    with pytest.raises(TypeError, match=r"log_opacity\(\) got an unexpected keyword argument 'logT'"):
        law.log_opacity(1.0, logT=2.0)
    with pytest.raises(TypeError, match=r"multiple values for keyword argument 'log_T'"):
        law.log_opacity(1.0, log_T=3.0)


class Half:
    def __float__(self):
        return 0.5


class Two:
    def __index__(self):
        return 2


def test_scalar_conversion():
    law = C_PlumtreeOpacity(1.0)
    assert law.opacity(Half(), Two()) == law.opacity(0.5, 2.0)
    with pytest.raises(TypeError):
        law.opacity("1", 1.0)


# ---------------------------------------------------------------------------
# Array methods (on a concrete law)
# ---------------------------------------------------------------------------

LAW = C_PlumtreeOpacity(5e24, 0.34)
PAIRS = [("opacity_array", "opacity"), ("log_opacity_array", "log_opacity"),
         ("dlogkappa_dlogrho_array", "dlogkappa_dlogrho"), ("dlogkappa_dlogT_array", "dlogkappa_dlogT")]
points = st.lists(st.tuples(st.floats(width=64), st.floats(width=64)), max_size=40)


@pytest.mark.parametrize("array_name, scalar_name", PAIRS)
@settings(max_examples=60, deadline=None)
@given(pts=points)
def test_array_equals_scalar(array_name, scalar_name, pts):
    x = np.array([p[0] for p in pts], dtype=np.float64)
    y = np.array([p[1] for p in pts], dtype=np.float64)
    with np.errstate(all="ignore"):
        got = getattr(LAW, array_name)(x, y)
    expected = [getattr(LAW, scalar_name)(a, b) for a, b in zip(x.tolist(), y.tolist())]
    assert got.dtype == np.float64 and got.shape == x.shape
    np.testing.assert_array_equal(got, np.array(expected, dtype=np.float64))


@pytest.mark.parametrize("obj, method", [(C_GreyMurkwell(), m) for m in GREY_METHODS[4:]]
                         + [(C_Murkwell(), m) for m in FREQ_METHODS[5:]])
def test_empty_input_does_not_reach_the_law(obj, method):
    n = 2 if isinstance(obj, C_GreyMurkwell) else 3
    out = getattr(obj, method)(*[np.empty(0)] * n)
    assert out.dtype == np.float64 and out.shape == (0,)
    with pytest.raises(NotImplementedError, match=r"must implement _"):
        getattr(obj, method)(*[np.ones(3)] * n)


def _readonly():
    a = np.ones(4)
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("bad, exc, message", [
    (np.ones(4, dtype=np.float32), ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (np.ones(4, dtype=np.int64), ValueError, "Buffer dtype mismatch, expected 'double' but got 'long'"),
    (np.ones((2, 2)), ValueError, r"Buffer has wrong number of dimensions \(expected 1, got 2\)"),
    ([1.0, 2.0, 3.0, 4.0], TypeError, None),
    (1.0, TypeError, None),
    (None, TypeError, "Argument 'log_rho' must not be None"),
    (_readonly(), ValueError, "read-only"),
    (np.ones(8)[::2], ValueError, "contiguous"),
    (np.ones((4, 4), order="F")[0, :], ValueError, "contiguous"),
])
def test_array_refusals(bad, exc, message):
    with pytest.raises(exc, match=message):
        LAW.log_opacity_array(np.ones(4), bad)
    if bad is not None:
        with pytest.raises(exc, match=message and message.replace("log_rho", "log_T")):
            LAW.log_opacity_array(bad, np.ones(4))


def test_first_argument_none_is_refused():
    with pytest.raises(TypeError, match="Argument 'log_T' must not be None"):
        LAW.log_opacity_array(None, np.ones(1))


@pytest.mark.parametrize("method", GREY_METHODS[4:])
def test_shorter_later_argument_is_refused(method):
    with pytest.raises(ValueError, match=r"'(log_rho|T)' has 1 element.*the 2 of argument"):
        getattr(LAW, method)(np.ones(2), np.ones(1))
    # Longer later arguments are fine: the first one sets the count.
    assert getattr(LAW, method)(np.ones(1), np.ones(2)).shape == (1,)


def test_freq_shorter_later_argument_is_refused():
    with pytest.raises(ValueError, match=r"'log_rho' has 2 element.*the 3 of argument 'log_nu'"):
        C_Murkwell().log_opacity_array(np.ones(3), np.ones(3), np.ones(2))


def test_result_is_new_and_writable():
    x, y = np.array([1e-9, 1e-6]), np.array([1e5, 1e4])
    x0, y0 = x.copy(), y.copy()
    out = LAW.opacity_array(x, y)
    assert out.flags.writeable and out.flags.c_contiguous and out.base is None
    out[:] = -1.0
    np.testing.assert_array_equal(x, x0)
    np.testing.assert_array_equal(y, y0)
    # density first: swapping the arrays changes the result
    assert not np.allclose(LAW.opacity_array(y, x), LAW.opacity_array(x, y))


def test_any_float64_exporter_is_accepted():
    a = array.array("d", [10.0, 11.0])
    b = array.array("d", [-20.0, -21.0])
    np.testing.assert_array_equal(LAW.log_opacity_array(a, b), LAW.log_opacity_array(np.array(a), np.array(b)))


def test_numpy_is_looked_up_at_every_call(monkeypatch):
    class FakeNumpy:
        float64 = np.float64

        def empty(self, n, dtype):
            raise MemoryError("no room")

    monkeypatch.setattr(murkwell, "np", FakeNumpy())
    with pytest.raises(MemoryError, match="no room"):
        LAW.log_opacity_array(np.ones(2), np.ones(2))
    monkeypatch.delattr(murkwell, "np")
    with pytest.raises(NameError, match="'np'"):
        LAW.log_opacity_array(np.ones(2), np.ones(2))


# ---------------------------------------------------------------------------
# Pickling
# ---------------------------------------------------------------------------

UNPICKLE = {C_GreyMurkwell: murkwell._unpickle_C_GreyMurkwell, C_Murkwell: murkwell._unpickle_C_Murkwell}


@pytest.mark.parametrize("cls", [C_GreyMurkwell, C_Murkwell, GreyScript, FreqScript])
@pytest.mark.parametrize("protocol", [0, 2, pickle.HIGHEST_PROTOCOL])
def test_round_trip_without_attributes(cls, protocol):
    base = C_GreyMurkwell if issubclass(cls, C_GreyMurkwell) else C_Murkwell
    obj = cls()
    assert obj.__reduce__() == (UNPICKLE[base], (cls, CHECKSUM, ()))
    assert type(pickle.loads(pickle.dumps(obj, protocol))) is cls


@pytest.mark.parametrize("cls", [GreyScript, FreqScript])
def test_round_trip_with_attributes(cls):
    obj = cls()
    obj.label = "disk"
    obj.scale = [1, 2]
    reconstructor, args, state = obj.__reduce__()
    assert args == (cls, CHECKSUM, None) and state == ({"label": "disk", "scale": [1, 2]},)
    back = pickle.loads(pickle.dumps(obj))
    assert type(back) is cls and back.__dict__ == obj.__dict__


def test_incompatible_checksum():
    with pytest.raises(pickle.PickleError) as info:
        murkwell._unpickle_C_GreyMurkwell(C_GreyMurkwell, 1, ())
    assert str(info.value) == "Incompatible checksums (0x1 vs (0xe3b0c44, 0xda39a3e, 0xd41d8cd) = ())"


@pytest.mark.parametrize("cls", [C_GreyMurkwell, C_Murkwell, GreyScript])
@pytest.mark.parametrize("checksum", [0xE3B0C44, 0xDA39A3E, 0xD41D8CD])
def test_accepted_checksums(cls, checksum):
    base = C_GreyMurkwell if issubclass(cls, C_GreyMurkwell) else C_Murkwell
    assert type(UNPICKLE[base](cls, checksum, None)) is cls
    assert type(UNPICKLE[base](cls=cls, checksum=checksum, state=())) is cls


def test_state_handling():
    with pytest.raises(TypeError, match="Expected tuple, got list"):
        murkwell._unpickle_C_GreyMurkwell(C_GreyMurkwell, CHECKSUM, [])
    with pytest.raises(TypeError):
        C_GreyMurkwell().__setstate__(None)
    # A base instance has no attribute dictionary to update...
    with pytest.raises(AttributeError):
        C_GreyMurkwell().__setstate__(({"a": 1},))
    # ...but an empty or falsy first element leaves it alone.
    assert C_GreyMurkwell().__setstate__(({},)) is None
    obj = GreyScript()
    obj.__setstate__(({"a": 1},))
    assert obj.a == 1


@pytest.mark.parametrize("cls", [int, C_Murkwell, C_PlumtreeOpacity])
def test_reconstructor_refuses_classes_it_cannot_build(cls):
    # A law with native fields must not be built without its coefficients.
    with pytest.raises(TypeError):
        murkwell._unpickle_C_GreyMurkwell(cls, CHECKSUM, None)


def test_reduce_and_setstate_argument_counts():
    with pytest.raises(TypeError, match=r"__reduce__\(\) takes exactly 0 positional arguments \(1 given\)"):
        C_GreyMurkwell().__reduce__(1)
    with pytest.raises(TypeError, match=r"__setstate__\(\) takes exactly 1 positional argument \(2 given\)"):
        C_Murkwell().__setstate__((), ())
    with pytest.raises(TypeError, match=r"_unpickle_C_Murkwell\(\) takes exactly 3 positional arguments"):
        murkwell._unpickle_C_Murkwell(C_Murkwell)


def test_module_surface():
    public = {name for name in vars(murkwell) if not name.startswith("__")}
    assert public == {"C_GreyMurkwell", "C_Murkwell", "_unpickle_C_GreyMurkwell", "_unpickle_C_Murkwell", "np"}
    assert "a two-tier interface for grey (frequency-independent) opacities" in murkwell.__doc__
    assert "the corresponding template for frequency-dependent (non-grey) opacities" in murkwell.__doc__
    assert C_GreyMurkwell.__bases__ == (object,) and C_Murkwell.__bases__ == (object,)


# ---------------------------------------------------------------------------
# Python code that runs inside the array methods and pickling
# ---------------------------------------------------------------------------


class _ShortEmpty:
    """Stands in for numpy with an `empty` that returns fewer elements than asked."""

    float64 = np.float64
    asarray = staticmethod(np.asarray)

    @staticmethod
    def empty(n, dtype=None):
        return np.empty(max(n - 1, 0), dtype=dtype)


@pytest.mark.parametrize("method", ["opacity_array", "log_opacity_array", "dlogkappa_dlogT_array"])
def test_array_method_refuses_a_short_output_from_a_rebound_np(monkeypatch, method):
    monkeypatch.setattr(murkwell, "np", _ShortEmpty)
    x = np.full(50_000, 2.0)
    with pytest.raises(ValueError, match=r"np\.empty\(50000\) returned an array of 49999 elements"):
        getattr(C_PlumtreeOpacity(1.0), method)(x, x)


def test_reduce_keeps_the_reconstructor_alive_while_user_code_runs(run_isolated):
    out = run_isolated(
        """
        import gc
        from velquor.radiation.opacity import murkwell

        class Sub(murkwell.C_GreyMurkwell):
            @property
            def __dict__(self):
                del murkwell._unpickle_C_GreyMurkwell
                gc.collect()
                return {"a": 1}

        r = Sub().__reduce__()
        print(r[0].__name__, r[1][1] == 0xE3B0C44, r[2])
        """
    )
    assert out.split() == ["_unpickle_C_GreyMurkwell", "True", "({'a':", "1},)"]


@pytest.mark.parametrize("cls", [(murkwell.C_GreyMurkwell,), (murkwell.C_GreyMurkwell, 1)])
def test_unpickle_does_not_unpack_a_tuple_given_as_the_class(cls):
    with pytest.raises(TypeError, match="is not a type object"):
        murkwell._unpickle_C_GreyMurkwell(cls, 0xE3B0C44, None)
