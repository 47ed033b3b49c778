"""Constants of the closure base module: values, logarithms and native exports."""

import math

import pytest

from velquor import _testsupport as ts
from velquor.dynamics.accretion.one_zone import closure as c

# Reference values (CGS): CODATA 2018 / SI 2019, a = 4 sigma / c, kappa_es = 0.2 (1 + X) with X = 0.7.
EXPECTED = {
    "G_CGS": 6.67430e-8,
    "K_B_CGS": 1.380649e-16,
    "M_P_CGS": 1.67262192369e-24,
    "SIGMA_SB_CGS": 5.670374419e-5,
    "RAD_A_CGS": 4 * 5.670374419e-5 / 2.99792458e10,
    "KAPPA_ES": 0.2 * 1.7,
    "DISK_XI": 1.0,
}


@pytest.mark.parametrize("name, value", sorted(EXPECTED.items()))
def test_physical_constants(name, value):
    assert getattr(c, name) == pytest.approx(value, rel=1e-9)


@pytest.mark.parametrize(
    "log_name, name",
    [(n, n[4:]) for n in dir(c) if n.startswith("LOG_") and n != "LOG_PI"] + [("LOG_PI", None)],
)
def test_logarithms_match_their_namesakes(log_name, name):
    value = math.pi if name is None else getattr(c, name)
    assert getattr(c, log_name) == pytest.approx(math.log(value), rel=1e-15, abs=1e-15)


def test_disk_b_is_derived_from_a_and_f0():
    assert c.DISK_B == c.DISK_A * c.DISK_F0


def test_native_exports_point_at_the_script_values():
    import ctypes

    for name in c.__native_api__:
        address = ts.bind_export(c.__name__, name, "double")
        assert ctypes.c_double.from_address(address).value == getattr(c, name)
