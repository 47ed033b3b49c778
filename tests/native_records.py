"""The native records of the disk model and its exported entry points, for
tests that call them directly through ctypes (CFUNCTYPE calls without the GIL,
PYFUNCTYPE with it)."""

import ctypes

from velquor.dynamics.accretion.one_zone import _writer
from velquor.dynamics.accretion.one_zone.models import _advective, _hollin, _sedge
from velquor.dynamics.accretion.one_zone.physics import _fallback, _stavemark, _viscous

c_double, c_int32, c_void_p, P = ctypes.c_double, ctypes.c_int32, ctypes.c_void_p, ctypes.POINTER


class DiskState(ctypes.Structure):
    _fields_ = [("t", c_double), ("M", c_double), ("J", c_double)]


class DiskDerived(ctypes.Structure):
    _fields_ = [("R", c_double), ("Sigma", c_double), ("Omega", c_double)]


class FallbackParams(ctypes.Structure):
    _fields_ = [("M_fb_0", c_double), ("R_c", c_double), ("t_fb", c_double), ("beta_fb", c_double)]


class DiskParameters(ctypes.Structure):
    _fields_ = [("MBH", c_double), ("R_in", c_double), ("alpha", c_double), ("mu", c_double),
                ("epsilon", c_double), ("fallback", P(FallbackParams)), ("advection", c_void_p),
                ("opacity", c_void_p)]


RESULT_FIELDS = ["dM_dt", "dJ_dt", "t_visc", "log_T_eff", "log_T_c", "log_tau", "log_cs", "log_nu",
                 "log_q_visc", "log_rho"]


class ClosureResult(ctypes.Structure):
    _fields_ = [(name, c_double) for name in RESULT_FIELDS] + [("extra", P(c_double)), ("n_extra", c_int32)]


class DiskStep(ctypes.Structure):
    _fields_ = [("dt", c_double), ("dM_dt", c_double), ("dJ_dt", c_double)]


RECORDS = [P(DiskState), P(DiskDerived), P(DiskParameters)]
SIGNATURES = {
    "hollin_closure_func": (c_int32, *RECORDS, P(ClosureResult), P(ClosureResult)),
    "advective_closure_func": (c_int32, *RECORDS, P(ClosureResult), P(ClosureResult)),
    "sedge_closure_func": (c_int32, *RECORDS, P(ClosureResult), P(ClosureResult)),
    "viscous_derivative_func": (c_int32, *RECORDS, P(ClosureResult), P(DiskStep)),
    "fallback_source_func": (c_int32, *RECORDS, P(ClosureResult), P(DiskStep)),
    "standard_writer_func": (c_int32, c_int32, *RECORDS, P(ClosureResult), P(DiskStep), P(c_double), c_int32),
    "extended_writer_func": (c_int32, c_int32, *RECORDS, P(ClosureResult), P(DiskStep), P(c_double), c_int32),
    "compute_gas_rad_cs": (c_double, c_double, c_double, c_double, c_double),
}
MODULES = {"hollin_closure_func": _hollin, "advective_closure_func": _advective, "sedge_closure_func": _sedge,
           "viscous_derivative_func": _viscous, "fallback_source_func": _fallback, "standard_writer_func": _writer,
           "extended_writer_func": _writer, "compute_gas_rad_cs": _stavemark}

_capsule_name = ctypes.PYFUNCTYPE(ctypes.c_char_p, ctypes.py_object)(("PyCapsule_GetName", ctypes.pythonapi))
_capsule_pointer = ctypes.PYFUNCTYPE(c_void_p, ctypes.py_object, ctypes.c_char_p)(
    ("PyCapsule_GetPointer", ctypes.pythonapi))


def address(name, module=None):
    capsule = (module or MODULES[name]).__native_api__[name]
    return _capsule_pointer(capsule, _capsule_name(capsule))


def native(name, factory=ctypes.CFUNCTYPE):
    """The exported function: CFUNCTYPE calls it without the GIL, PYFUNCTYPE with
    the GIL held (and raises what it leaves pending)."""
    return factory(*SIGNATURES[name])(address(name))


def params_of(closure, epsilon=1e-3):
    fallback = closure._fallback_ptr
    return DiskParameters(closure._M_BH, closure._R_in, closure._alpha, closure._mu, epsilon,
                          ctypes.cast(fallback, P(FallbackParams)) if fallback else None, None,
                          closure._opacity_ptr)


def ref(record):
    return ctypes.byref(record)
