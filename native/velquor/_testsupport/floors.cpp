// velquor._testsupport, floors: the disk model as plain loops, the benchmarks' baseline.
//
// The integrator's loop and the disk model's thermal solve run with a host
// that asks the interpreter nothing: the cost floor the benchmarks compare the
// modules with.
#include "parts.hpp"

#include "velquor/bind/opacity.hpp"
#include "velquor/core/euler.hpp"
#include "velquor/core/thermal.hpp"

#include <cstdint>
#include <type_traits>

namespace {

using vq::testsupport::closure_class;

// What a benchmark-floor run needs: the state view, the packed parameters and a
// scratch result (uninitialised: the writer fills every column it reports).
struct PlainRun {
    vq::F64View state;
    DiskParameters params{};
    vq::Ref buffer;
    double* result() const { return reinterpret_cast<double*>(PyByteArray_AS_STRING(buffer.get())); }
};

bool prepare_plain_run(OneZoneClosureObject* closure, PyObject* state_obj, int max_steps, double epsilon,
                       const char* who, PlainRun* run) {
    if (!run->state.acquire(state_obj, 1, "initial_state")) return false;
    if (run->state.size() != 2 || max_steps < 1 || closure->n_result_fields < 1 ||
        closure->_c_opacity == Py_None || !closure->vtab->is_ready(closure)) {
        PyErr_Format(PyExc_ValueError, "%s: bad arguments", who);
        return false;
    }
    closure->vtab->_pack_params(closure, &run->params);
    if (PyErr_Occurred()) return false;
    run->params.epsilon = epsilon;
    run->buffer = vq::Ref::steal(PyByteArray_FromStringAndSize(
        nullptr, static_cast<Py_ssize_t>(sizeof(double)) * closure->n_result_fields * max_steps));
    return static_cast<bool>(run->buffer);
}

/// The Euler loop with no host, the lock released: the columns written, or the
/// failure's status (negative).
int32_t march_without_host(const PlainRun& run, double t_start, double t_end, int32_t max_steps,
                           const vq::disk::DiskCallbacks& callbacks) noexcept {
    vq::disk::RunOutcome outcome;
    {
        vq::GilRelease nogil;
        outcome = vq::disk::march_euler(run.state.data(), run.result(), t_start, t_end, max_steps, callbacks,
                                        run.params, vq::core::NoHost{});
    }
    return outcome.status == vq::status::SUCCESS ? outcome.columns : outcome.status;
}

vq::disk::DiskCallbacks callbacks_of(const OneZoneClosureObject* closure) noexcept {
    return {closure->_closure_fn, closure->_derivative_fn, closure->_writer_fn, closure->_source_fn};
}

// march_plain(closure, initial_state, t_start, t_end, max_steps, epsilon) -> columns
// The integrator's loop with no pending-error checks, the lock released: the
// cost floor of a step with the closure's callbacks.
PyObject* march_plain(PyObject*, PyObject* args) {
    PyObject *closure_obj, *state_obj;
    double t_start, t_end, epsilon;
    int max_steps;
    if (!PyArg_ParseTuple(args, "O!Oddid", closure_class.type, &closure_obj, &state_obj, &t_start, &t_end,
                          &max_steps, &epsilon))
        return nullptr;
    auto* closure = reinterpret_cast<OneZoneClosureObject*>(closure_obj);
    PlainRun run;
    if (!prepare_plain_run(closure, state_obj, max_steps, epsilon, "march_plain", &run)) return nullptr;
    return PyLong_FromLong(march_without_host(run, t_start, t_end, max_steps, callbacks_of(closure)));
}

// ---------------------------------------------------------------------------
// The one-zone disk model as a plain C++ loop (benchmark floor)
//
// The integrator's loop with a FullPressureClosure's real callbacks, except that
// the thermal closure is the very same velquor/core/thermal.hpp code instantiated
// with a host that never asks the interpreter anything and calls the solver of
// velquor/core/brent.hpp directly: no Python object and no lock traffic from the
// first step to the last.
// ---------------------------------------------------------------------------

namespace disk_floor {

namespace thermal = vq::thermal;

bool bound = false;
closure_func hollin_closure = nullptr;
closure_func sedge_closure = nullptr;
uint64_t sound_speed_calls = 0;  // counted by the Counted<> variants only

/// Counts equation-of-state calls: one per residual evaluation plus one per solve.
template <class Base>
struct Counted {
    static double sound_speed(double T, double mu, double Sigma, double Omega) noexcept {
        ++sound_speed_calls;
        return Base::sound_speed(T, mu, Sigma, Omega);
    }
};

/// The model of an exported thermal closure, counting its equation-of-state calls or not.
template <class Gas, bool kCount>
struct FloorModel : thermal::ThinDisk<std::conditional_t<kCount, Counted<Gas>, Gas>> {
    static constexpr const char* kResidualName = "floor.residual";
    static constexpr const char* kClosureName = "floor.closure";
};

bool bind() {
    if (bound) return true;
    namespace d = vq::disk;
    if (!vq::import_function(d::kHollinModule, "hollin_closure_func", d::kClosureFuncTag, &hollin_closure) ||
        !vq::import_function(d::kSedgeModule, "sedge_closure_func", d::kClosureFuncTag, &sedge_closure))
        return false;
    bound = true;
    return true;
}

template <class Eos>
closure_func twin_of(bool count) {
    return count ? &thermal::closure<FloorModel<Eos, true>, thermal::PlainHost>
                 : &thermal::closure<FloorModel<Eos, false>, thermal::PlainHost>;
}

/// The lock-free twin of one of the two exported thermal closures, or null.
closure_func lock_free_twin(closure_func installed, bool count) {
    if (installed == sedge_closure) return twin_of<vq::eos::GasPressure>(count);
    if (installed == hollin_closure) return twin_of<vq::eos::GasRadiation>(count);
    return nullptr;
}

}  // namespace disk_floor

// march_disk_plain(closure, initial_state, t_start, t_end, max_steps, epsilon, count=False)
//   -> columns, or (columns, residual evaluations) with count
PyObject* march_disk_plain(PyObject*, PyObject* args) {
    PyObject *closure_obj, *state_obj;
    double t_start, t_end, epsilon;
    int max_steps, count = 0;
    if (!PyArg_ParseTuple(args, "O!Oddid|p", closure_class.type, &closure_obj, &state_obj, &t_start, &t_end,
                          &max_steps, &epsilon, &count))
        return nullptr;
    if (!disk_floor::bind()) return nullptr;
    auto* closure = reinterpret_cast<OneZoneClosureObject*>(closure_obj);
    const closure_func twin = disk_floor::lock_free_twin(closure->_closure_fn, count != 0);
    if (!twin) {
        PyErr_SetString(PyExc_ValueError, "march_disk_plain: the closure installs neither thermal closure of the model");
        return nullptr;
    }
    PlainRun run;
    if (!prepare_plain_run(closure, state_obj, max_steps, epsilon, "march_disk_plain", &run)) return nullptr;
    vq::disk::DiskCallbacks callbacks = callbacks_of(closure);
    callbacks.closure = twin;
    disk_floor::sound_speed_calls = 0;
    const int32_t status = march_without_host(run, t_start, t_end, max_steps, callbacks);
    const uint64_t calls = disk_floor::sound_speed_calls;
    if (!count) return PyLong_FromLong(status);
    // every successful solve makes one call after its root is found
    const uint64_t solves = status > 0 ? static_cast<uint64_t>(status) : 0;
    return Py_BuildValue("(lK)", static_cast<long>(status), static_cast<unsigned long long>(calls - solves));
}

// thermal_solve_plain(closure, R, Sigma, Omega, prev_log_T_c) -> (status, residual evaluations, out)
// One lock-free, counted solve of the closure's thermal model; `out` is the
// (log_T_c, log_cs, log_rho) written, or None when the solve failed.
PyObject* thermal_solve_plain(PyObject*, PyObject* args) {
    PyObject* closure_obj;
    DiskDerived derived;
    ClosureResult prev{};
    if (!PyArg_ParseTuple(args, "O!dddd", closure_class.type, &closure_obj, &derived.R, &derived.Sigma,
                          &derived.Omega, &prev.log_T_c))
        return nullptr;
    if (!disk_floor::bind()) return nullptr;
    auto* closure = reinterpret_cast<OneZoneClosureObject*>(closure_obj);
    const closure_func twin = disk_floor::lock_free_twin(closure->_closure_fn, true);
    if (!twin || closure->_c_opacity == Py_None) {
        PyErr_SetString(PyExc_ValueError, "thermal_solve_plain: no thermal closure of the model or no opacity");
        return nullptr;
    }
    DiskParameters params{};
    closure->vtab->_pack_params(closure, &params);
    if (PyErr_Occurred()) return nullptr;
    const DiskState state{0.0, 0.0, 0.0};
    ClosureResult out{};
    disk_floor::sound_speed_calls = 0;
    const int32_t status = twin(&state, &derived, &params, &prev, &out);
    const uint64_t evaluations = disk_floor::sound_speed_calls - (status == 0 ? 1 : 0);
    if (status != 0)
        return Py_BuildValue("(iKO)", static_cast<int>(status), static_cast<unsigned long long>(evaluations), Py_None);
    return Py_BuildValue("(iK(ddd))", static_cast<int>(status), static_cast<unsigned long long>(evaluations),
                         out.log_T_c, out.log_cs, out.log_rho);
}

PyMethodDef floor_methods[] = {
    {"march_plain", march_plain, METH_VARARGS,
     PyDoc_STR("march_plain(closure, initial_state, t_start, t_end, max_steps, epsilon)\n--\n\n"
               "The Euler loop without pending-error checks (benchmark floor); the column count or status.")},
    {"thermal_solve_plain", thermal_solve_plain, METH_VARARGS,
     PyDoc_STR("thermal_solve_plain(closure, R, Sigma, Omega, prev_log_T_c, /)\n--\n\n"
               "One lock-free solve of the closure's thermal model: (status, residual evaluations,\n"
               "(log_T_c, log_cs, log_rho) or None).")},
    {"march_disk_plain", march_disk_plain, METH_VARARGS,
     PyDoc_STR("march_disk_plain(closure, initial_state, t_start, t_end, max_steps, epsilon, count=False, /)\n--\n\n"
               "A FullPressureClosure's model as a plain C++ loop: no pending-error checks and no lock\n"
               "traffic, with a lock-free instantiation of its thermal closure (benchmark floor).  The\n"
               "column count or status; with count, also the number of residual evaluations.")},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool vq::testsupport::add_floors(PyObject* module) noexcept { return PyModule_AddFunctions(module, floor_methods) == 0; }
