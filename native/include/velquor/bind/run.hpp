// What the integrators share at script level: checks, run pin, result, IntegrationError.
//
// Argument checks with their messages, the run pin, parameter packing, the
// result array and the failure of a run as an IntegrationError.  Every function
// here runs with the lock held.
#pragma once

#include "velquor/bind/capi.hpp"
#include "velquor/bind/disk.hpp"
#include "velquor/bind/opacity.hpp"
#include "velquor/core/loop.hpp"
#include "velquor/core/status.hpp"

#include <cstdint>
#include <cstring>

/// The end of an integrator's docstring: what an IntegrationError carries (the
/// time and state of `where`) and what propagates.
#define VQ_RUN_DOC_FAILURE(where)                                                                  \
    "    It carries the status (``status``, ``status_name``), the columns written before the\n"   \
    "    failure (``partial``), and the time and [M, J] of " where " (``t_failed``, ``state``).\n" \
    "Exception\n    Any exception raised by a callback propagates unchanged.\n\n"                  \
    "The interpreter lock is released while the model is integrated."

namespace vq::disk {

// ---------------------------------------------------------------------------
// Import-time bindings
// ---------------------------------------------------------------------------

/// Where the class of a failed run lives (velquor.dynamics.accretion.one_zone).
inline constexpr const char* kFailureModule = "velquor.dynamics.accretion.one_zone";
inline constexpr const char* kFailureClass = "IntegrationError";

/// What an integrator binds when its module is imported.
struct RunImports {
    vq::BoundClass closure_class;      ///< OneZoneClosure with its method table
    vq::opacity::Bases opacity_bases;  ///< the opacity base classes
    PyObject* failure = nullptr;       ///< IntegrationError (a strong reference for the process's lifetime)
};

/// The closure base class with its method table, the opacity base classes, all
/// twenty constants of the closure module (a missing or mistagged one fails the
/// import) and IntegrationError, which must be a RuntimeError subclass.
inline bool bind_run_imports(RunImports* out) noexcept {
    if (!bind_closure_base(&out->closure_class) || !vq::opacity::bind_bases(&out->opacity_bases)) return false;
    vq::Ref module = vq::Ref::steal(PyImport_ImportModule(kFailureModule));
    vq::Ref cls = vq::Ref::steal(module ? PyObject_GetAttrString(module.get(), kFailureClass) : nullptr);
    if (!cls) return false;
    if (!PyType_Check(cls.get()) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls.get()),
                                                       reinterpret_cast<PyTypeObject*>(PyExc_RuntimeError))) {
        PyErr_Format(PyExc_TypeError, "%s.%s must be a RuntimeError subclass", kFailureModule, kFailureClass);
        return false;
    }
    out->failure = cls.release();
    return true;
}

// ---------------------------------------------------------------------------
// Failure statuses
// ---------------------------------------------------------------------------

/// `message` with each "{}" replaced, in order, by str() of the next of the
/// `n` values (new reference, or null with an exception set).
inline vq::Ref fill_message(const char* message, PyObject* const* values, int n) noexcept {
    vq::Ref text = vq::Ref::steal(PyUnicode_FromString(""));
    const char* rest = message;
    for (int k = 0; text; ++k) {
        const char* hole = k < n ? std::strstr(rest, "{}") : nullptr;
        const Py_ssize_t len = hole ? hole - rest : static_cast<Py_ssize_t>(std::strlen(rest));
        vq::Ref piece = vq::Ref::steal(PyUnicode_DecodeUTF8(rest, len, nullptr));
        vq::Ref value = vq::Ref::steal(piece && hole ? PyObject_Str(values[k]) : nullptr);
        if (!piece || (hole && !value)) return {};
        vq::Ref joined = vq::Ref::steal(PyUnicode_Concat(text.get(), piece.get()));
        if (joined && hole) joined = vq::Ref::steal(PyUnicode_Concat(joined.get(), value.get()));
        text = std::move(joined);
        if (!hole) break;
        rest = hole + 2;
    }
    return text;
}

/// The numbers a failure's message is filled in with, by status.
struct FailureNumbers {
    int32_t max_steps = 0;  ///< STEP_LIMIT: the accepted-step budget
    double t_last = 0.0;    ///< STEP_LIMIT: the last output time [s]
};

/// The message of a failed run: the status's text with its numbers (velquor/core/status.hpp).
inline vq::Ref failure_message(const RunOutcome& outcome, const FailureNumbers& numbers) noexcept {
    namespace st = vq::status;
    const st::Info* info = st::find(outcome.status);
    if (!info) return vq::Ref::steal(PyUnicode_FromFormat("Integrator returned unrecognised error code %d.",
                                                          static_cast<int>(outcome.status)));
    vq::Ref values[3];
    int n = 0;
    switch (outcome.status) {
        case st::CLOSURE_UNRECOGNISED:
            values[n++] = vq::Ref::steal(PyLong_FromLong(st::reported_closure_code(outcome.closure_code)));
            break;
        case st::STEP_UNDERFLOW:
            values[n++] = vq::Ref::steal(PyFloat_FromDouble(outcome.h));
            values[n++] = vq::Ref::steal(PyFloat_FromDouble(outcome.state.t));
            break;
        case st::STEP_LIMIT:
            values[n++] = vq::Ref::steal(PyLong_FromLong(numbers.max_steps));
            values[n++] = vq::Ref::steal(PyFloat_FromDouble(outcome.state.t));
            values[n++] = vq::Ref::steal(PyFloat_FromDouble(numbers.t_last));
            break;
        default: break;
    }
    PyObject* raw[3];
    for (int k = 0; k < n; ++k) {
        if (!values[k]) return {};
        raw[k] = values[k].get();
    }
    return fill_message(info->message, raw, n);
}

/// Raise the failure of a run as `failure` (IntegrationError): the status's
/// message, its status and name, the `columns` leading columns of `result` as
/// `partial`, and where the run stopped (`t_failed`, `state` = [M, J]).  An
/// error pending from a callback propagates instead, with `traceback_name`
/// added.  Returns null.
inline PyObject* raise_failure(PyObject* failure, PyObject* np, PyObject* result, const RunOutcome& outcome,
                               const FailureNumbers& numbers, const char* traceback_name) noexcept;

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

inline PyObject* raise_failure(PyObject* failure, PyObject* np, PyObject* result, const RunOutcome& outcome,
                               const FailureNumbers& numbers, const char* traceback_name) noexcept {
    if (outcome.status == vq::status::ERROR_PENDING && PyErr_Occurred()) {
        VQ_TRACEBACK(traceback_name);
        return nullptr;
    }
    const vq::status::Info* info = vq::status::find(outcome.status);
    vq::Ref message = failure_message(outcome, numbers);
    vq::Ref partial = vq::Ref::steal(message ? leading_columns(np, result, outcome.columns) : nullptr);
    vq::Ref state = vq::Ref::steal(
        partial ? PyObject_CallMethod(np, "array", "[dd]", outcome.state.M, outcome.state.J) : nullptr);
    vq::Ref args = vq::Ref::steal(state ? PyTuple_Pack(1, message.get()) : nullptr);
    vq::Ref kwargs = vq::Ref::steal(
        args ? Py_BuildValue("{sisssOsdsO}", "status", static_cast<int>(outcome.status), "status_name",
                             info ? info->name : "", "partial", partial.get(), "t_failed", outcome.state.t,
                             "state", state.get())
             : nullptr);
    vq::Ref exc = vq::Ref::steal(kwargs ? PyObject_Call(failure, args.get(), kwargs.get()) : nullptr);
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

}  // namespace vq::disk
