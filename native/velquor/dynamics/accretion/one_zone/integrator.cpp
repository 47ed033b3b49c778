// velquor.dynamics.accretion.one_zone.integrator: explicit Euler integration of the one-zone disk.
//
// run_one_zone_model: validate a run, pack the closure's parameters, allocate the
// result, march the disk with the Euler loop of velquor/core/euler.hpp without
// the interpreter lock and raise a failure as IntegrationError.
#include "velquor/bind/capi.hpp"
#include "velquor/bind/disk.hpp"
#include "velquor/bind/host.hpp"
#include "velquor/bind/opacity.hpp"
#include "velquor/bind/run.hpp"
#include "velquor/core/euler.hpp"

namespace {

constexpr const char* kModuleName = "velquor.dynamics.accretion.one_zone.integrator";
constexpr const char* kModuleDoc =
    "Time integrator of the one-zone disk model.\n\n"
    "run_one_zone_model marches the disk mass and angular momentum with explicit Euler\n"
    "steps through the callbacks of a closure, without the interpreter lock.";

vq::disk::RunImports imports;

// ---------------------------------------------------------------------------
// The native loop
// ---------------------------------------------------------------------------

/// Runs without the interpreter lock.  `params.epsilon` is already set.  The
/// host finds the thread state the caller published once; each check is then
/// a load.
vq::disk::RunOutcome compute_one_zone_model(const double* initial_state, double* result_array, double t_start,
                                            double t_end, int32_t max_steps, const vq::disk::DiskCallbacks& callbacks,
                                            DiskParameters params) noexcept {
    const vq::InterpreterHost host;
    return vq::disk::march_euler(initial_state, result_array, t_start, t_end, max_steps, callbacks, params, host);
}

// ---------------------------------------------------------------------------
// run_one_zone_model
// ---------------------------------------------------------------------------

const char* const kRunParams[] = {"initial_state", "t_start", "t_end", "max_steps", "closure", "epsilon"};
const vq::Signature kRunSignature{"run_one_zone_model", kRunParams, 6, 5};

PyObject* run_one_zone_model(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[6] = {};
    if (!vq::bind(kRunSignature, args, nargs, kwnames, a)) return nullptr;

    vq::F64View initial_state;
    double t_start, t_end, epsilon = 1e-6;
    int32_t max_steps;
    if (!initial_state.acquire(a[0], 1, "initial_state") || !vq::to_double(a[1], &t_start) ||
        !vq::to_double(a[2], &t_end) || !vq::to_int32(a[3], &max_steps) ||
        !vq::require_type(a[4], imports.closure_class.type, "closure", false) || (a[5] && !vq::to_double(a[5], &epsilon)))
        return nullptr;
    auto* closure = reinterpret_cast<OneZoneClosureObject*>(a[4]);

    vq::Ref np = vq::Ref::steal(PyImport_ImportModule("numpy"));
    if (!np) return nullptr;

    namespace d = vq::disk;
    if (!d::check_ready(a[4]) || !d::check_initial_state(initial_state) || !d::check_interval(t_start, t_end) ||
        !d::check_max_steps(max_steps))
        return nullptr;
    if (!(epsilon > 0.0 && epsilon < 1.0)) return d::value_error_str("epsilon must be in (0, 1), got ", epsilon, ".");
    if (!d::check_opacity_and_rows(closure)) return nullptr;

    vq::Ref result;
    vq::disk::RunOutcome outcome;
    {
        // Pinned before packing: the allocation below may run Python code (a
        // finalizer, another thread) that must not free what the record borrows.
        d::RunPin pin(closure);
        DiskParameters params;
        if (!d::pack_params(closure, &params)) return nullptr;
        params.epsilon = epsilon;

        const int32_t rows = closure->n_result_fields;
        result = d::new_result(np.get(), rows, max_steps);
        if (!result) return nullptr;
        vq::F64View out;
        if (!d::view_result(&out, result.get(), rows, max_steps)) return nullptr;

        const vq::disk::DiskCallbacks callbacks{closure->_closure_fn, closure->_derivative_fn, closure->_writer_fn,
                                                closure->_source_fn};
        vq::PublishThreadState published;  // the checks of every callback find this thread's state at once
        vq::GilRelease nogil;
        outcome = compute_one_zone_model(initial_state.data(), out.data(), t_start, t_end, max_steps, callbacks,
                                         params);
    }

    if (outcome.status != vq::status::SUCCESS)
        return d::raise_failure(imports.failure, np.get(), result.get(), outcome, {},
                                "velquor.dynamics.accretion.one_zone.integrator.compute_one_zone_model");
    return d::leading_columns(np.get(), result.get(), outcome.columns);
}

PyMethodDef module_methods[] = {
    {"run_one_zone_model", vq::as_cfunction(run_one_zone_model),
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
               "IntegrationError\n"
               "    A callback failed without an exception: a RuntimeError whose message names the\n"
               "    stage.\n" VQ_RUN_DOC_FAILURE("the state whose step failed"))},
    {nullptr, nullptr, 0, nullptr},
};

bool setup(PyObject*) noexcept { return vq::disk::bind_run_imports(&imports); }

}  // namespace

VQ_DEFINE_MODULE(integrator, kModuleName, kModuleDoc, module_methods, setup)
