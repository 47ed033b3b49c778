// velquor.dynamics.accretion.one_zone.integrator
//
// run_one_zone_model: validate a run, pack the closure's parameters, allocate the
// result, march the disk with explicit Euler steps without the interpreter lock
// and turn a failure status into the matching exception.
#include "velquor/capi.hpp"
#include "velquor/disk.hpp"
#include "velquor/euler.hpp"
#include "velquor/opacity.hpp"

namespace {

constexpr const char* kModuleName = "velquor.dynamics.accretion.one_zone.integrator";
vq::InitGuard init_guard{"integrator"};

vq::BoundClass closure_class;
vq::opacity::Bases opacity_bases;
vq::disk::GeometryLogs geometry;

// ---------------------------------------------------------------------------
// The native loop
// ---------------------------------------------------------------------------

/// Runs without the interpreter lock.  `params.epsilon` is already set.
int32_t compute_one_zone_model(const double* initial_state, double* result_array, double t_start, double t_end,
                               int32_t max_steps, closure_func closure_function, derivative_func derivative_function,
                               writer_func writer_function, source_func source_function,
                               DiskParameters params) noexcept {
    return vq::disk::march_euler(initial_state, result_array, t_start, t_end, max_steps, closure_function,
                                 derivative_function, writer_function, source_function, params, geometry,
                                 [] { return vq::error_pending(); });
}

// ---------------------------------------------------------------------------
// Failure messages
// ---------------------------------------------------------------------------

const char* status_message(int32_t status) {
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

PyObject* raise_status(int32_t status) {
    if (const char* msg = status_message(status)) {
        PyErr_SetString(PyExc_RuntimeError, msg);
    } else {
        PyErr_Format(PyExc_RuntimeError, "Integrator returned unrecognised error code %d.", static_cast<int>(status));
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// run_one_zone_model
// ---------------------------------------------------------------------------

const char* const kRunParams[] = {"initial_state", "t_start", "t_end", "max_steps", "closure", "epsilon"};
const vq::Signature kRunSignature{"run_one_zone_model", kRunParams, 6, 5};

PyObject* value_error_str(const char* prefix, double value, const char* suffix) {
    vq::Ref text = vq::str_double(value);
    if (text) PyErr_Format(PyExc_ValueError, "%s%U%s", prefix, text.get(), suffix);
    return nullptr;
}

// Increments the closure's run counter for the lifetime of the run, so that the
// closure refuses to free what the loop borrows (lock held on both ends).
class RunPin {
public:
    explicit RunPin(OneZoneClosureObject* c) noexcept : c_(c) { ++c_->_runs_in_progress; }
    ~RunPin() { --c_->_runs_in_progress; }
    RunPin(const RunPin&) = delete;
    RunPin& operator=(const RunPin&) = delete;

private:
    OneZoneClosureObject* c_;
};

PyObject* run_one_zone_model(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[6] = {};
    if (!vq::bind(kRunSignature, args, nargs, kwnames, a)) return nullptr;

    vq::F64View initial_state;
    double t_start, t_end, epsilon = 1e-6;
    int32_t max_steps;
    if (!initial_state.acquire(a[0], 1, "initial_state") || !vq::to_double(a[1], &t_start) ||
        !vq::to_double(a[2], &t_end) || !vq::to_int32(a[3], &max_steps) ||
        !vq::require_type(a[4], closure_class.type, "closure", false) || (a[5] && !vq::to_double(a[5], &epsilon)))
        return nullptr;
    auto* closure = reinterpret_cast<OneZoneClosureObject*>(a[4]);

    vq::Ref np = vq::Ref::steal(PyImport_ImportModule("numpy"));
    if (!np) return nullptr;

    vq::Ref ready = vq::Ref::steal(PyObject_CallMethod(a[4], "is_ready", nullptr));
    if (!ready) return nullptr;
    const int is_ready = PyObject_IsTrue(ready.get());
    if (is_ready < 0) return nullptr;
    // A script override of is_ready cannot make null slots callable.
    if (!is_ready || !closure->_closure_fn || !closure->_derivative_fn || !closure->_writer_fn) {
        PyErr_SetString(PyExc_ValueError, "OneZoneClosure has uninitialised function pointers.");
        return nullptr;
    }
    if (initial_state.size() != 2) {
        PyErr_Format(PyExc_ValueError, "initial_state must have shape (2,), got shape (%zd,).",
                     initial_state.size());
        return nullptr;
    }
    // NaN bounds or step fraction would march garbage: refuse them with the same messages.
    if (!(t_end > t_start)) {
        vq::Ref end = vq::str_double(t_end), start = vq::str_double(t_start);
        if (end && start)
            PyErr_Format(PyExc_ValueError, "t_end (%U) must be > t_start (%U).", end.get(), start.get());
        return nullptr;
    }
    if (max_steps < 1) {
        PyErr_Format(PyExc_ValueError, "max_steps must be >= 1, got %d.", static_cast<int>(max_steps));
        return nullptr;
    }
    if (!(epsilon > 0.0 && epsilon < 1.0)) return value_error_str("epsilon must be in (0, 1), got ", epsilon, ".");
    if (closure->_c_opacity == Py_None) {
        PyErr_SetString(PyExc_ValueError,
                        "OneZoneClosure has no opacity installed.  Set closure.opacity before passing to the "
                        "integrator.");
        return nullptr;
    }
    // The writer fills n_result_fields rows: an empty result would be written past its end.
    if (closure->n_result_fields < 1) {
        PyErr_Format(PyExc_ValueError, "closure.n_result_fields must be >= 1, got %d.",
                     static_cast<int>(closure->n_result_fields));
        return nullptr;
    }

    DiskParameters params{};
    closure->vtab->_pack_params(closure, &params);
    if (PyErr_Occurred()) return nullptr;
    params.epsilon = epsilon;

    vq::Ref zeros = vq::Ref::steal(PyObject_GetAttrString(np.get(), "zeros"));
    vq::Ref float64 = vq::Ref::steal(zeros ? PyObject_GetAttrString(np.get(), "float64") : nullptr);
    vq::Ref shape = vq::Ref::steal(float64 ? Py_BuildValue("(ii)", closure->n_result_fields, max_steps) : nullptr);
    vq::Ref kw = vq::Ref::steal(shape ? Py_BuildValue("{sO}", "dtype", float64.get()) : nullptr);
    vq::Ref pos = vq::Ref::steal(kw ? PyTuple_Pack(1, shape.get()) : nullptr);
    vq::Ref result = vq::Ref::steal(pos ? PyObject_Call(zeros.get(), pos.get(), kw.get()) : nullptr);
    if (!result) return nullptr;
    vq::F64View out;
    if (!out.acquire(result.get(), 2, "result")) return nullptr;

    const closure_func closure_fn = closure->_closure_fn;
    const derivative_func derivative_fn = closure->_derivative_fn;
    const writer_func writer_fn = closure->_writer_fn;
    const source_func source_fn = closure->_source_fn;
    int32_t status;
    {
        RunPin pin(closure);
        vq::GilRelease nogil;
        status = compute_one_zone_model(initial_state.data(), out.data(), t_start, t_end, max_steps, closure_fn,
                                        derivative_fn, writer_fn, source_fn, params);
    }
    out.release();

    if (status == -1 && PyErr_Occurred()) {
        VQ_TRACEBACK("velquor.dynamics.accretion.one_zone.integrator.compute_one_zone_model");
        return nullptr;
    }
    if (status < 0) return raise_status(status);

    vq::Ref columns = vq::Ref::steal(PySlice_New(nullptr, nullptr, nullptr));
    vq::Ref stop = vq::Ref::steal(columns ? PyLong_FromLong(status) : nullptr);
    vq::Ref first = vq::Ref::steal(stop ? PySlice_New(nullptr, stop.get(), nullptr) : nullptr);
    vq::Ref index = vq::Ref::steal(first ? PyTuple_Pack(2, columns.get(), first.get()) : nullptr);
    vq::Ref view = vq::Ref::steal(index ? PyObject_GetItem(result.get(), index.get()) : nullptr);
    if (!view) return nullptr;
    return PyObject_CallMethod(np.get(), "ascontiguousarray", "O", view.get());
}

PyMethodDef module_methods[] = {
    {"run_one_zone_model", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_one_zone_model)),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("run_one_zone_model(initial_state, t_start, t_end, max_steps, closure, epsilon=1e-06)\n--\n\n"
               "Integrate a one-zone disk with explicit Euler steps.\n\n"
               "Parameters\n----------\n"
               "initial_state : ndarray, dtype=float64, shape (2,), C-contiguous, writable\n"
               "    Initial disk mass [g] and angular momentum [g cm^2 s^-1].\n"
               "t_start, t_end : float\n    Integration interval [s]; t_end > t_start.\n"
               "max_steps : int\n    Maximum number of result columns (>= 1).\n"
               "closure : OneZoneClosure\n"
               "    Supplies the callbacks, the packed run parameters and the result row count;\n"
               "    must have an opacity and its runtime parameters bound.\n"
               "epsilon : float, optional\n"
               "    Time-step fraction in (0, 1) passed to the derivative callback.\n\n"
               "Returns\n-------\nndarray of float64, shape (closure.n_result_fields, n)\n"
               "    One column per step; column 0 is the initial condition.  The time step is never\n"
               "    clipped, so the last step may overshoot t_end; the state it reaches is not written.\n\n"
               "Raises\n------\nValueError\n    Invalid arguments or closure.\n"
               "RuntimeError\n    A callback failed without an exception (the message names the stage).\n"
               "Exception\n    Any exception raised by a callback propagates unchanged.\n\n"
               "The interpreter lock is released while the model is integrated.")},
    {nullptr, nullptr, 0, nullptr},
};

struct NamedLog {
    const char* name;
    double* value;
};

int exec_module(PyObject*) {
    auto init = init_guard.begin();
    if (!init) return -1;
    if (!vq::bind_class(vq::disk::kClosureModule, "OneZoneClosure", sizeof(OneZoneClosureObject),
                        vq::disk::kClosureTableTag, &closure_class))
        return -1;
    if (!vq::opacity::bind_bases(&opacity_bases)) return -1;
    static const char* const kAllConstants[] = {
        "DISK_A", "DISK_B", "DISK_F0", "DISK_XI", "G_CGS", "KAPPA_ES", "K_B_CGS", "LOG_DISK_A",
        "LOG_DISK_F0", "LOG_DISK_XI", "LOG_G_CGS", "LOG_KAPPA_ES", "LOG_K_B_CGS", "LOG_M_P_CGS",
        "LOG_PI", "LOG_RAD_A_CGS", "LOG_SIGMA_SB_CGS", "M_P_CGS", "RAD_A_CGS", "SIGMA_SB_CGS"};
    for (const char* name : kAllConstants)
        if (!vq::import_pointer(vq::disk::kClosureModule, name, vq::disk::kDoubleTag)) return -1;
    const NamedLog logs[] = {{"LOG_G_CGS", &geometry.LOG_G_CGS},
                             {"LOG_PI", &geometry.LOG_PI},
                             {"LOG_DISK_XI", &geometry.LOG_DISK_XI},
                             {"LOG_DISK_A", &geometry.LOG_DISK_A}};
    for (const NamedLog& l : logs)
        if (!vq::import_value(vq::disk::kClosureModule, l.name, vq::disk::kDoubleTag, l.value)) return -1;
    init.commit();
    return 0;
}

constexpr const char* kModuleDoc =
    "Time integrator of the one-zone disk model.\n\n"
    "run_one_zone_model marches the disk mass and angular momentum with explicit Euler\n"
    "steps through the callbacks of a closure, without the interpreter lock.";

}  // namespace

VQ_DEFINE_MODULE(integrator, kModuleName, kModuleDoc, module_methods, exec_module)
