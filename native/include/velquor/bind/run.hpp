// What the one-zone integrators share at script level: argument checks with
// their messages, the run pin, parameter packing, the result array and the
// status -> exception mapping.  Every function here runs with the lock held.
#pragma once

#include "velquor/bind/capi.hpp"
#include "velquor/bind/disk.hpp"
#include "velquor/core/euler.hpp"
#include "velquor/bind/opacity.hpp"

#include <cstdint>

namespace vq::disk {

// ---------------------------------------------------------------------------
// Import-time bindings
// ---------------------------------------------------------------------------

/// What an integrator binds when its module is imported: the closure base class
/// with its method table, the opacity base classes, all twenty constants of the
/// closure module (a missing or mistagged one fails the import) and the
/// logarithms the geometry needs.
inline bool bind_run_imports(vq::BoundClass* closure_class, vq::opacity::Bases* opacity_bases,
                             GeometryLogs* geometry) noexcept {
    return bind_closure_base(closure_class) && vq::opacity::bind_bases(opacity_bases) &&
           bind_geometry_logs(geometry);
}

// ---------------------------------------------------------------------------
// Failure statuses
// ---------------------------------------------------------------------------

/// The message of a loop status (negated closure codes 1-4, -10, -20, -30), or
/// null for a code with no message of its own.
inline const char* status_message(int32_t status) noexcept {
    switch (status) {
        case -1:
            return "CLOSURE / FUNC_ERROR (-1): the root-finding residual callback returned non-zero \u2014 NaN or Inf "
                   "encountered in the disk state or residual.";
        case -2:
            return "CLOSURE / EXPAND_FAIL (-2): bracket expansion could not find a sign change in [T_min, T_max].  "
                   "The disk state (surface density, \u03a9) may be outside the physical range supported by this "
                   "closure.";
        case -3:
            return "CLOSURE / NO_BRACKET (-3): both bracket endpoints have the same sign after expansion \u2014 no "
                   "root detected in the search domain.";
        case -4:
            return "CLOSURE / MAX_ITER (-4): Brent's method did not converge within the iteration limit.";
        case -10:
            return "DERIVATIVE_FAIL (-10): the derivative function returned a non-zero status (internal error).";
        case -20:
            return "WRITER_FAIL (-20): the writer function returned a non-zero status (internal error).";
        case -30:
            return "SOURCE_FAIL (-30): the source function returned a non-zero status (internal error).";
        default:
            return nullptr;
    }
}

/// RuntimeError with the message of `status` ("unrecognised" for unknown codes);
/// returns null.
inline PyObject* raise_status(int32_t status) noexcept {
    if (const char* msg = status_message(status)) {
        PyErr_SetString(PyExc_RuntimeError, msg);
    } else {
        PyErr_Format(PyExc_RuntimeError, "Integrator returned unrecognised error code %d.", static_cast<int>(status));
    }
    return nullptr;
}

/// ValueError prefix + str(value) + suffix; returns null.
inline PyObject* value_error_str(const char* prefix, double value, const char* suffix) noexcept {
    vq::Ref text = vq::str_double(value);
    if (text) PyErr_Format(PyExc_ValueError, "%s%U%s", prefix, text.get(), suffix);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Checks shared by the integrators, in the order they make them
// ---------------------------------------------------------------------------

/// The closure's is_ready() (a script override is honoured) and its three
/// mandatory slots: a script override cannot make a null slot callable.
inline bool check_ready(PyObject* closure_obj) noexcept {
    auto* closure = reinterpret_cast<OneZoneClosureObject*>(closure_obj);
    vq::Ref ready = vq::Ref::steal(PyObject_CallMethod(closure_obj, "is_ready", nullptr));
    if (!ready) return false;
    const int is_ready = PyObject_IsTrue(ready.get());
    if (is_ready < 0) return false;
    if (!is_ready || !closure->_closure_fn || !closure->_derivative_fn || !closure->_writer_fn) {
        PyErr_SetString(PyExc_ValueError, "OneZoneClosure has uninitialised function pointers.");
        return false;
    }
    return true;
}

inline bool check_initial_state(const vq::F64View& initial_state) noexcept {
    if (initial_state.size() == 2) return true;
    PyErr_Format(PyExc_ValueError, "initial_state must have shape (2,), got shape (%zd,).", initial_state.size());
    return false;
}

/// NaN bounds fail the test too: they would march garbage.
inline bool check_interval(double t_start, double t_end) noexcept {
    if (t_end > t_start) return true;
    vq::Ref end = vq::str_double(t_end), start = vq::str_double(t_start);
    if (end && start) PyErr_Format(PyExc_ValueError, "t_end (%U) must be > t_start (%U).", end.get(), start.get());
    return false;
}

inline bool check_max_steps(int32_t max_steps) noexcept {
    if (max_steps >= 1) return true;
    PyErr_Format(PyExc_ValueError, "max_steps must be >= 1, got %d.", static_cast<int>(max_steps));
    return false;
}

/// The installed opacity, then the writer's row count: an empty result would be
/// written past its end.
inline bool check_opacity_and_rows(const OneZoneClosureObject* closure) noexcept {
    if (closure->_c_opacity == Py_None) {
        PyErr_SetString(PyExc_ValueError,
                        "OneZoneClosure has no opacity installed.  Set closure.opacity before passing to the "
                        "integrator.");
        return false;
    }
    if (closure->n_result_fields < 1) {
        PyErr_Format(PyExc_ValueError, "closure.n_result_fields must be >= 1, got %d.",
                     static_cast<int>(closure->n_result_fields));
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Packing, result array, run pin
// ---------------------------------------------------------------------------

/// The closure's native _pack_params, then a pending-exception test.
inline bool pack_params(OneZoneClosureObject* closure, DiskParameters* params) noexcept {
    *params = DiskParameters{};
    closure->vtab->_pack_params(closure, params);
    return !PyErr_Occurred();
}

/// np.zeros((rows, columns), dtype=np.float64), or np.empty(...) when `zeroed`
/// is false (for a loop that clears each column before writing it: a large
/// zero-filled array costs a full memset, an uninitialised one nothing).
inline vq::Ref new_result(PyObject* np, int32_t rows, Py_ssize_t columns, bool zeroed = true) noexcept {
    vq::Ref zeros = vq::Ref::steal(PyObject_GetAttrString(np, zeroed ? "zeros" : "empty"));
    vq::Ref float64 = vq::Ref::steal(zeros ? PyObject_GetAttrString(np, "float64") : nullptr);
    vq::Ref shape = vq::Ref::steal(float64 ? Py_BuildValue("(in)", static_cast<int>(rows), columns) : nullptr);
    vq::Ref kw = vq::Ref::steal(shape ? Py_BuildValue("{sO}", "dtype", float64.get()) : nullptr);
    vq::Ref pos = vq::Ref::steal(kw ? PyTuple_Pack(1, shape.get()) : nullptr);
    return vq::Ref::steal(pos ? PyObject_Call(zeros.get(), pos.get(), kw.get()) : nullptr);
}

/// A view of the result array, refused (RuntimeError) unless it has exactly the
/// shape the loop writes: the array comes from numpy's functions, which Python
/// code can replace.
inline bool view_result(vq::F64View* out, PyObject* result, int32_t rows, Py_ssize_t columns) noexcept {
    if (!out->acquire(result, 2, "result")) return false;
    if (out->shape(0) == rows && out->shape(1) == columns) return true;
    PyErr_Format(PyExc_RuntimeError, "the result array has shape (%zd, %zd), expected (%d, %zd)", out->shape(0),
                 out->shape(1), static_cast<int>(rows), columns);
    out->release();
    return false;
}

/// np.ascontiguousarray(result[:, :n]): the columns written, as a new array.
inline PyObject* leading_columns(PyObject* np, PyObject* result, int32_t n) noexcept {
    vq::Ref columns = vq::Ref::steal(PySlice_New(nullptr, nullptr, nullptr));
    vq::Ref stop = vq::Ref::steal(columns ? PyLong_FromLong(n) : nullptr);
    vq::Ref first = vq::Ref::steal(stop ? PySlice_New(nullptr, stop.get(), nullptr) : nullptr);
    vq::Ref index = vq::Ref::steal(first ? PyTuple_Pack(2, columns.get(), first.get()) : nullptr);
    vq::Ref view = vq::Ref::steal(index ? PyObject_GetItem(result, index.get()) : nullptr);
    if (!view) return nullptr;
    return PyObject_CallMethod(np, "ascontiguousarray", "O", view.get());
}

/// Increments the closure's run counter from packing to the end of the loop, so
/// that the closure refuses to free what the packed record borrows (lock held on
/// both ends).
class RunPin {
public:
    explicit RunPin(OneZoneClosureObject* c) noexcept : c_(c) { ++c_->_runs_in_progress; }
    ~RunPin() { --c_->_runs_in_progress; }
    RunPin(const RunPin&) = delete;
    RunPin& operator=(const RunPin&) = delete;

private:
    OneZoneClosureObject* c_;
};

}  // namespace vq::disk
