// velquor.dynamics.accretion.one_zone.adaptive: embedded Runge-Kutta integration of the one-zone disk.
//
// run_one_zone_model_adaptive: the one-zone disk model integrated with an
// embedded Runge-Kutta pair (Dormand-Prince 5(4) or Bogacki-Shampine 3(2),
// velquor/core/rk.hpp) under error control, through the same closure
// callbacks, statuses and lock protocol as the Euler integrator.  Output is one
// column per accepted step, or one per requested time by dense output.
#include "velquor/bind/capi.hpp"
#include "velquor/bind/disk.hpp"
#include "velquor/bind/host.hpp"
#include "velquor/bind/opacity.hpp"
#include "velquor/bind/run.hpp"
#include "velquor/core/rk.hpp"

#include <cmath>

namespace {

constexpr const char* kModuleName = "velquor.dynamics.accretion.one_zone.adaptive";
constexpr const char* kModuleDoc =
    "Adaptive time integrator of the one-zone disk model.\n\n"
    "run_one_zone_model_adaptive integrates the disk mass and angular momentum with an\n"
    "embedded Runge-Kutta pair under error control through the callbacks of a closure,\n"
    "without the interpreter lock.";

vq::disk::RunImports imports;

enum class Method { Dopri5, Bs32 };

// ---------------------------------------------------------------------------
// The native loop
// ---------------------------------------------------------------------------

/// Runs without the interpreter lock.  The host finds the thread state the
/// caller published once; each check is then a load.
vq::disk::RunOutcome compute_one_zone_model_adaptive(const double* initial_state, double* result_array,
                                                     double t_start, double t_end,
                                                     const vq::disk::AdaptiveOptions& options,
                                                     const vq::disk::DiskCallbacks& callbacks,
                                                     const DiskParameters& params, Method method) noexcept {
    const vq::InterpreterHost host;
    if (method == Method::Bs32)
        return vq::disk::march_adaptive<vq::disk::Bs32>(initial_state, result_array, t_start, t_end, options,
                                                        callbacks, params, host);
    return vq::disk::march_adaptive<vq::disk::Dopri5>(initial_state, result_array, t_start, t_end, options,
                                                      callbacks, params, host);
}

// ---------------------------------------------------------------------------
// Arguments
// ---------------------------------------------------------------------------

const char* const kRunParams[] = {"initial_state", "t_start", "t_end", "closure", "rtol",
                                  "atol",          "max_steps", "t_eval", "method"};
const vq::Signature kRunSignature{"run_one_zone_model_adaptive", kRunParams, 9, 4};

bool parse_method(PyObject* name, Method* out) {
    if (PyUnicode_CompareWithASCIIString(name, "dopri5") == 0) {
        *out = Method::Dopri5;
    } else if (PyUnicode_CompareWithASCIIString(name, "bs32") == 0) {
        *out = Method::Bs32;
    } else {
        PyErr_Format(PyExc_ValueError, "method must be 'dopri5' or 'bs32', got %R.", name);
        return false;
    }
    return true;
}

/// t_eval as a private float64 copy (another thread cannot change it during the
/// run), one-dimensional, non-empty, sorted, within [t_start, t_end]; `view`
/// holds a view of the copy on success.
vq::Ref convert_t_eval(PyObject* np, PyObject* t_eval, double t_start, double t_end, vq::F64View* view) {
    vq::Ref float64 = vq::Ref::steal(PyObject_GetAttrString(np, "float64"));
    vq::Ref copy = vq::Ref::steal(float64 ? PyObject_CallMethod(np, "array", "OO", t_eval, float64.get()) : nullptr);
    if (!copy) return {};
    vq::Ref shape = vq::Ref::steal(PyObject_GetAttrString(copy.get(), "shape"));
    if (!shape) return {};
    if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 1) {
        PyErr_Format(PyExc_ValueError, "t_eval must be one-dimensional, got shape %R.", shape.get());
        return {};
    }
    if (!view->acquire(copy.get(), 1, "t_eval")) return {};
    const Py_ssize_t n = view->size();
    const double* t = view->data();
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "t_eval must not be empty.");
        return {};
    }
    if (n > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, "t_eval has %zd entries, more than %d.", n, static_cast<int>(INT32_MAX));
        return {};
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!(t[i] >= t_start && t[i] <= t_end)) {
            vq::Ref ti = vq::str_double(t[i]), lo = vq::str_double(t_start), hi = vq::str_double(t_end);
            if (ti && lo && hi)
                PyErr_Format(PyExc_ValueError, "t_eval must lie within [t_start, t_end] = [%U, %U], got t_eval[%zd] = %U.",
                             lo.get(), hi.get(), i, ti.get());
            return {};
        }
        if (i > 0 && t[i] < t[i - 1]) {
            vq::Ref ti = vq::str_double(t[i]), tp = vq::str_double(t[i - 1]);
            if (ti && tp)
                PyErr_Format(PyExc_ValueError,
                             "t_eval must be sorted in increasing order, got t_eval[%zd] = %U after t_eval[%zd] = %U.",
                             i, ti.get(), i - 1, tp.get());
            return {};
        }
    }
    return copy;
}

// ---------------------------------------------------------------------------
// run_one_zone_model_adaptive
// ---------------------------------------------------------------------------

PyObject* run_one_zone_model_adaptive(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    namespace d = vq::disk;
    PyObject* a[9] = {};
    if (!vq::bind(kRunSignature, args, nargs, kwnames, a)) return nullptr;

    vq::F64View initial_state;
    double t_start, t_end;
    d::AdaptiveOptions options;
    options.max_steps = 100000;
    PyObject* t_eval_arg = a[7] && a[7] != Py_None ? a[7] : nullptr;
    if (!initial_state.acquire(a[0], 1, "initial_state") || !vq::to_double(a[1], &t_start) ||
        !vq::to_double(a[2], &t_end) || !vq::require_type(a[3], imports.closure_class.type, "closure", false) ||
        (a[4] && !vq::to_double(a[4], &options.rtol)) || (a[5] && !vq::to_double(a[5], &options.atol)) ||
        (a[6] && !vq::to_int32(a[6], &options.max_steps)) ||
        (a[8] && !vq::require_type(a[8], &PyUnicode_Type, "method", false)))
        return nullptr;
    auto* closure = reinterpret_cast<OneZoneClosureObject*>(a[3]);

    vq::Ref np = vq::Ref::steal(PyImport_ImportModule("numpy"));
    if (!np) return nullptr;

    if (!d::check_ready(a[3]) || !d::check_initial_state(initial_state) || !d::check_interval(t_start, t_end))
        return nullptr;
    if (!std::isfinite(t_start) || !std::isfinite(t_end)) {
        vq::Ref end = vq::str_double(t_end), start = vq::str_double(t_start);
        if (end && start)
            PyErr_Format(PyExc_ValueError, "t_start (%U) and t_end (%U) must be finite.", start.get(), end.get());
        return nullptr;
    }
    if (!(options.rtol > 0.0 && options.rtol < 1.0))
        return d::value_error_str("rtol must be in (0, 1), got ", options.rtol, ".");
    if (!(options.atol >= 0.0 && std::isfinite(options.atol)))
        return d::value_error_str("atol must be finite and >= 0, got ", options.atol, ".");
    if (!d::check_max_steps(options.max_steps)) return nullptr;
    vq::Ref t_eval;
    vq::F64View t_eval_view;
    if (t_eval_arg) {
        t_eval = convert_t_eval(np.get(), t_eval_arg, t_start, t_end, &t_eval_view);
        if (!t_eval) return nullptr;
        options.t_eval = t_eval_view.data();
        options.n_eval = static_cast<int32_t>(t_eval_view.size());
    }
    Method method = Method::Dopri5;
    if (a[8] && !parse_method(a[8], &method)) return nullptr;
    if (!d::check_opacity_and_rows(closure)) return nullptr;

    vq::Ref result;
    d::RunOutcome outcome;
    {
        // Pinned before packing: the allocation below may run Python code (a
        // finalizer, another thread) that must not free what the record borrows.
        d::RunPin pin(closure);
        DiskParameters params;
        if (!d::pack_params(closure, &params)) return nullptr;

        const Py_ssize_t capacity = options.t_eval ? options.n_eval : options.max_steps;
        options.rows = closure->n_result_fields;
        result = d::new_result(np.get(), options.rows, capacity, false);
        if (!result) return nullptr;
        vq::F64View out;
        if (!d::view_result(&out, result.get(), options.rows, capacity)) return nullptr;

        const d::DiskCallbacks callbacks{closure->_closure_fn, closure->_derivative_fn, closure->_writer_fn,
                                         closure->_source_fn};
        vq::PublishThreadState published;  // the checks of every callback find this thread's state at once
        vq::GilRelease nogil;
        outcome = compute_one_zone_model_adaptive(initial_state.data(), out.data(), t_start, t_end, options,
                                                  callbacks, params, method);
    }

    if (outcome.status != vq::status::SUCCESS) {
        const d::FailureNumbers numbers{options.max_steps,
                                        options.t_eval ? options.t_eval[options.n_eval - 1] : t_end};
        return d::raise_failure(imports.failure, np.get(), result.get(), outcome, numbers,
                                "velquor.dynamics.accretion.one_zone.adaptive.compute_one_zone_model_adaptive");
    }
    if (options.t_eval) return result.release();  // every column written
    return d::leading_columns(np.get(), result.get(), outcome.columns);
}

PyMethodDef module_methods[] = {
    {"run_one_zone_model_adaptive",
     vq::as_cfunction(run_one_zone_model_adaptive),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR(
         "run_one_zone_model_adaptive(initial_state, t_start, t_end, closure, rtol=1e-06, atol=0.0, "
         "max_steps=100000, t_eval=None, method='dopri5')\n--\n\n"
         "Integrate a one-zone disk with an embedded Runge-Kutta pair under error control.\n\n"
         "At every stage the closure's thermal solve (warm-started from the latest converged\n"
         "central temperature), source and derivative callbacks give the rates dM/dt and dJ/dt;\n"
         "the derivative's own time step is not used.  The step size follows a PI controller on\n"
         "the embedded error estimate of (M, J), starting from an automatic first step.  A stage\n"
         "whose thermal solve fails rejects the step, which is retried smaller.\n\n"
         "A closure that reports its thermal branch (AdvectiveClosure) has its branch jumps\n"
         "located: a step whose stages leave the branch of its start is rejected, the jump time is\n"
         "bisected by smaller steps until the rate jump over the remaining gap is within the\n"
         "tolerance, the gap is crossed by one explicit Euler step, and the integration restarts on\n"
         "the new branch from a fresh first step; no step and no dense output spans a jump.\n\n"
         "Parameters\n----------\n"
         "initial_state : ndarray, dtype=float64, shape (2,), C-contiguous, writable\n"
         "    Initial disk mass [g] and angular momentum [g cm^2 s^-1].\n"
         "t_start, t_end : float\n    Integration interval [s], finite, t_end > t_start.  The last step\n"
         "    is clipped to end exactly at t_end.\n"
         "closure : OneZoneClosure\n"
         "    Supplies the callbacks, the packed run parameters and the result row count;\n"
         "    must have an opacity and its runtime parameters bound.\n"
         "rtol : float, optional\n    Relative tolerance in (0, 1) on M and J per step.\n"
         "atol : float, optional\n"
         "    Absolute tolerance (>= 0, same units as M and J) added to the error weights.\n"
         "max_steps : int, optional\n"
         "    Without t_eval: the maximum number of result columns (>= 1); the run stops early,\n"
         "    without error, when they are used up before t_end (as the Euler integrator does).\n"
         "    With t_eval: the maximum number of accepted steps.\n"
         "t_eval : array_like of float, optional\n"
         "    Sorted output times within [t_start, t_end].  Each column then holds the dense-output\n"
         "    state at that time (fourth-order continuous extension for 'dopri5', cubic Hermite\n"
         "    for 'bs32') with its own thermal solve and rates; the run ends with the step that\n"
         "    covers the last of them.  Output times do not change the steps taken.\n"
         "method : {'dopri5', 'bs32'}, optional\n"
         "    Dormand-Prince 5(4) or Bogacki-Shampine 3(2).\n\n"
         "Returns\n-------\nndarray of float64, shape (closure.n_result_fields, n)\n"
         "    Without t_eval, one column per accepted step: column 0 is the initial state and the\n"
         "    last is the state at t_end (or the last one that fitted).  The writer's step dt\n"
         "    (row \"dt\" of the standard writer) is the step taken from that column to the next\n"
         "    (0 in the last column).  With t_eval, n = len(t_eval) and dt is the step that spans\n"
         "    the output time.\n\n"
         "Raises\n------\nValueError\n    Invalid arguments or closure.\n"
         "IntegrationError\n"
         "    A RuntimeError: a callback failed without an exception (the Euler integrator's\n"
         "    messages; a failed thermal solve only once the step would fall below 1e-12 of the\n"
         "    interval), the step size fell below that floor without meeting the tolerance\n"
         "    (STEP_UNDERFLOW), or, with t_eval, max_steps steps did not reach the last output\n"
         "    time (STEP_LIMIT).\n" VQ_RUN_DOC_FAILURE("the last accepted state"))},
    {nullptr, nullptr, 0, nullptr},
};

bool setup(PyObject*) noexcept { return vq::disk::bind_run_imports(&imports); }

}  // namespace

VQ_DEFINE_MODULE(adaptive, kModuleName, kModuleDoc, module_methods, setup)
