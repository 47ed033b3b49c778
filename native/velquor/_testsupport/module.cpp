// velquor._testsupport: native helpers for the test suite and the benchmarks.
//
// ScriptedClosure is a closure whose callbacks do what the test asks: return a
// chosen status or raise at a chosen step (or past a chosen time), take a
// constant step, give rates that are constant or a power of M (dM/dt = c M^p has
// a closed-form solution), add known rates from a source, and record the
// previous-step record the closure first receives.
// The module also exposes the import-time binding checks and a copy of the
// integrator's loop that asks nothing of the interpreter (the benchmark floor).
#include "velquor/bind/capi.hpp"
#include "velquor/bind/disk.hpp"
#include "velquor/core/euler.hpp"
#include "velquor/core/brent.hpp"
#include "velquor/core/thermal.hpp"
#include "velquor/bind/opacity.hpp"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>
#include <thread>

namespace {

constexpr const char* kModuleName = "velquor._testsupport";
vq::InitGuard init_guard{"_testsupport"};
vq::BoundClass closure_class;
vq::disk::GeometryLogs geometry;

// What the scripted callbacks do.  Steps count closure calls from 0.
struct Script {
    int32_t closure_code = 0;       // returned at step closure_code_at
    int32_t closure_code_at = -1;
    int32_t closure_raise_at = -1;  // ValueError at this step
    int32_t source_code = 0;        // returned by the source at every call
    int32_t source_raise = 0;
    int32_t derivative_code = 0;
    int32_t derivative_raise = 0;
    int32_t writer_code = 0;
    int32_t writer_raise = 0;
    int32_t spin = 0;               // busy-work iterations per closure call
    double dt = 1.0;                // constant step
    double dM_dt = 0.0, dJ_dt = 0.0;                // derivative's own rates
    double source_dM_dt = 0.0, source_dJ_dt = 0.0;  // source's rates
    double MBH = 1.0;
    double power = 0.0;       // the derivative's dM_dt is scaled by M**power
    double fail_t = HUGE_VAL;  // the closure returns fail_code at every state with t > fail_t
    int32_t fail_code = 2;
    int32_t rows = 0;               // result rows, as packed: the writer writes no more
    int32_t calls = 0;
    int32_t recorded = 0;
    ClosureResult first_prev{};
    double sink = 0.0;
};

struct ScriptedClosureObject {
    OneZoneClosureObject base;
    Script script;
};

constexpr int32_t kRows = 8;  // step, t, M, J, dt, dM_dt, dJ_dt, log_T_c

Script& script_of(const DiskParameters* p) { return *reinterpret_cast<Script*>(p->advection); }

int32_t raise_value_error(const char* what, int32_t step) noexcept {
    vq::GilEnsure gil;
    PyErr_Format(PyExc_ValueError, "%s raised at step %d", what, static_cast<int>(step));
    return -1;
}

int32_t scripted_closure(const DiskState* state, const DiskDerived*, const DiskParameters* params,
                         const ClosureResult* prev, ClosureResult* out) noexcept {
    Script& s = script_of(params);
    const int32_t step = s.calls++;
    if (!s.recorded) {
        s.first_prev = *prev;
        s.recorded = 1;
    }
    double acc = 0.0;
    for (int32_t i = 0; i < s.spin; ++i) acc += std::sqrt(static_cast<double>(i) + acc);
    s.sink += acc;
    if (step == s.closure_raise_at) return raise_value_error("closure", step);
    if (step == s.closure_code_at) return s.closure_code;
    if (state->t > s.fail_t) return s.fail_code;
    out->t_visc = 1.0;
    out->log_T_eff = out->log_tau = out->log_cs = out->log_nu = out->log_q_visc = out->log_rho = 0.0;
    out->log_T_c = static_cast<double>(step + 1);
    return 0;
}

int32_t scripted_source(const DiskState*, const DiskDerived*, const DiskParameters* params, const ClosureResult*,
                        DiskStep* step) noexcept {
    Script& s = script_of(params);
    if (s.source_raise) return raise_value_error("source", s.calls - 1);
    step->dM_dt += s.source_dM_dt;
    step->dJ_dt += s.source_dJ_dt;
    return s.source_code;
}

int32_t scripted_derivative(const DiskState* state, const DiskDerived*, const DiskParameters* params,
                            const ClosureResult*, DiskStep* step) noexcept {
    Script& s = script_of(params);
    if (s.derivative_raise) return raise_value_error("derivative", s.calls - 1);
    step->dM_dt += s.power == 0.0 ? s.dM_dt : s.dM_dt * std::pow(state->M, s.power);
    step->dJ_dt += s.dJ_dt;
    step->dt = s.dt;
    return s.derivative_code;
}

int32_t scripted_writer(const int32_t k, const DiskState* state, const DiskDerived*, const DiskParameters* params,
                        const ClosureResult* closure, const DiskStep* step, double* result, int32_t n) noexcept {
    Script& s = script_of(params);
    if (s.writer_raise) return raise_value_error("writer", k);
    const double row[kRows] = {static_cast<double>(k), state->t,     state->M,     state->J,
                               step->dt,               step->dM_dt, step->dJ_dt, closure->log_T_c};
    const int32_t rows = s.rows < kRows ? s.rows : kRows;
    for (int32_t f = 0; f < rows; ++f) result[static_cast<std::ptrdiff_t>(f) * n + k] = row[f];
    return s.writer_code;
}

// ---------------------------------------------------------------------------
// The class
// ---------------------------------------------------------------------------

OneZoneClosureVTable scripted_table;
PyTypeObject ScriptedType = {PyVarObject_HEAD_INIT(nullptr, 0)};

ScriptedClosureObject* as_scripted(PyObject* o) { return reinterpret_cast<ScriptedClosureObject*>(o); }

void scripted_pack_params(OneZoneClosureObject* self, DiskParameters* p) noexcept {
    static_cast<const OneZoneClosureVTable*>(closure_class.table)->_pack_params(self, p);
    auto* me = reinterpret_cast<ScriptedClosureObject*>(self);
    p->MBH = me->script.MBH;
    me->script.rows = self->n_result_fields;
    p->advection = reinterpret_cast<AdvectionParams*>(&me->script);  // test-only back channel to the callbacks
}

struct IntOption {
    const char* name;
    std::size_t offset;
};
struct DoubleOption {
    const char* name;
    std::size_t offset;
};
const IntOption int_options[] = {
    {"closure_code", offsetof(Script, closure_code)},   {"closure_code_at", offsetof(Script, closure_code_at)},
    {"closure_raise_at", offsetof(Script, closure_raise_at)}, {"source_code", offsetof(Script, source_code)},
    {"source_raise", offsetof(Script, source_raise)},   {"derivative_code", offsetof(Script, derivative_code)},
    {"derivative_raise", offsetof(Script, derivative_raise)}, {"writer_code", offsetof(Script, writer_code)},
    {"writer_raise", offsetof(Script, writer_raise)},   {"spin", offsetof(Script, spin)},
    {"fail_code", offsetof(Script, fail_code)},
};
const DoubleOption double_options[] = {
    {"dt", offsetof(Script, dt)},
    {"dM_dt", offsetof(Script, dM_dt)},
    {"dJ_dt", offsetof(Script, dJ_dt)},
    {"source_dM_dt", offsetof(Script, source_dM_dt)},
    {"source_dJ_dt", offsetof(Script, source_dJ_dt)},
    {"MBH", offsetof(Script, MBH)},
    {"power", offsetof(Script, power)},
    {"fail_t", offsetof(Script, fail_t)},
};

// ScriptedClosure(source=False, **options): every option is a keyword.
PyObject* scripted_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0) {
        PyErr_SetString(PyExc_TypeError, "ScriptedClosure() takes keyword arguments only");
        return nullptr;
    }
    vq::Ref self = vq::Ref::steal(closure_class.type->tp_new(type, args, nullptr));
    if (!self) return nullptr;
    ScriptedClosureObject* me = as_scripted(self.get());
    me->base.vtab = &scripted_table;
    new (&me->script) Script();
    bool with_source = false;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            const char* k = PyUnicode_AsUTF8(key);
            if (!k) return nullptr;
            bool known = false;
            if (std::strcmp(k, "source") == 0) {
                if (!vq::to_truth(value, &with_source)) return nullptr;
                known = true;
            }
            for (const IntOption& o : int_options)
                if (!known && std::strcmp(k, o.name) == 0) {
                    auto* field = reinterpret_cast<int32_t*>(reinterpret_cast<char*>(&me->script) + o.offset);
                    if (!vq::to_int32(value, field)) return nullptr;
                    known = true;
                }
            for (const DoubleOption& o : double_options)
                if (!known && std::strcmp(k, o.name) == 0) {
                    auto* field = reinterpret_cast<double*>(reinterpret_cast<char*>(&me->script) + o.offset);
                    if (!vq::to_double(value, field)) return nullptr;
                    known = true;
                }
            if (!known) {
                PyErr_Format(PyExc_TypeError, "ScriptedClosure() got an unexpected keyword argument '%U'", key);
                return nullptr;
            }
        }
    }
    me->base._closure_fn = scripted_closure;
    me->base._derivative_fn = scripted_derivative;
    me->base._writer_fn = scripted_writer;
    me->base._source_fn = with_source ? scripted_source : nullptr;
    me->base.n_result_fields = kRows;
    return self.release();
}

PyObject* get_calls(PyObject* o, void*) { return PyLong_FromLong(as_scripted(o)->script.calls); }

PyObject* get_first_prev(PyObject* o, void*) {
    const Script& s = as_scripted(o)->script;
    if (!s.recorded) Py_RETURN_NONE;
    const ClosureResult& r = s.first_prev;
    return Py_BuildValue("(ddddddddddNi)", r.dM_dt, r.dJ_dt, r.t_visc, r.log_T_eff, r.log_T_c, r.log_tau, r.log_cs,
                         r.log_nu, r.log_q_visc, r.log_rho,
                         r.extra ? PyLong_FromVoidPtr(r.extra) : Py_NewRef(Py_None), static_cast<int>(r.n_extra));
}

int set_n_result_fields(PyObject* o, PyObject* value, void*) {
    int32_t n;
    if (!value || !vq::to_int32(value, &n)) return -1;
    as_scripted(o)->base.n_result_fields = n;
    return 0;
}
PyObject* get_n_result_fields(PyObject* o, void*) { return PyLong_FromLong(as_scripted(o)->base.n_result_fields); }

// Lets a test drop a mandatory slot to check the integrator's readiness test.
int set_drop_writer(PyObject* o, PyObject* value, void*) {
    bool drop;
    if (!value || !vq::to_truth(value, &drop)) return -1;
    as_scripted(o)->base._writer_fn = drop ? nullptr : scripted_writer;
    return 0;
}
PyObject* get_drop_writer(PyObject* o, void*) { return PyBool_FromLong(as_scripted(o)->base._writer_fn == nullptr); }

PyGetSetDef scripted_getset[] = {
    {"calls", get_calls, nullptr, PyDoc_STR("Number of closure calls so far."), nullptr},
    {"first_prev", get_first_prev, nullptr,
     PyDoc_STR("The previous-step record the closure first received: ten floats, extra, n_extra."), nullptr},
    {"n_result_fields", get_n_result_fields, set_n_result_fields, PyDoc_STR("Rows of the result (settable)."),
     nullptr},
    {"drop_writer", get_drop_writer, set_drop_writer, PyDoc_STR("Remove the writer callback."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// Module functions
// ---------------------------------------------------------------------------

// bind_export(module, name, tag) -> address
PyObject* bind_export(PyObject*, PyObject* args) {
    const char *module, *name, *tag;
    if (!PyArg_ParseTuple(args, "sss", &module, &name, &tag)) return nullptr;
    // The tag must outlive the comparison only; import_pointer compares at once.
    void* p = vq::import_pointer(module, name, tag);
    return p ? PyLong_FromVoidPtr(p) : nullptr;
}

// bind_class(module, name, compiled_size, tag) -> class
PyObject* bind_class_checked(PyObject*, PyObject* args) {
    const char *module, *name, *tag;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "ssns", &module, &name, &size, &tag)) return nullptr;
    vq::BoundClass bound;
    if (!vq::bind_class(module, name, static_cast<std::size_t>(size), tag, &bound)) return nullptr;
    return reinterpret_cast<PyObject*>(bound.type);  // bind_class handed us a strong reference
}

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
    int32_t status;
    {
        vq::GilRelease nogil;
        status = vq::disk::march_euler(run.state.data(), run.result(), t_start, t_end, max_steps,
                                       closure->_closure_fn, closure->_derivative_fn, closure->_writer_fn,
                                       closure->_source_fn, run.params, geometry, [] { return false; });
    }
    return PyLong_FromLong(status);
}


// ---------------------------------------------------------------------------
// The one-zone disk model as a plain C++ loop (benchmark floor)
//
// The integrator's loop with a FullPressureClosure's real callbacks, except that
// the thermal closure is the very same thermal.hpp code instantiated with a host
// that never asks the interpreter anything and calls the solver of brent.hpp
// directly: no Python object and no lock traffic from the first step to the last.
// ---------------------------------------------------------------------------

namespace disk_floor {

namespace thermal = vq::disk::thermal;
namespace core = vq::root::core;

bool bound = false;
vq::disk::sound_speed_func gas_rad_cs = nullptr;
closure_func hollin_closure = nullptr;
closure_func sedge_closure = nullptr;
uint64_t sound_speed_calls = 0;  // counted by the Counted<> variants only

struct LockFreeHost {
    static bool error_pending() noexcept { return false; }
    static void traceback(const char*) noexcept {}
    static int32_t find_root(scalar_func f, void* user_data, double x_guess, double step, double grow_factor,
                             int32_t max_expand, double x_min, double x_max, double tolerance, double tol_x,
                             double tol_f, int32_t maxiter, double* root) noexcept {
        return core::find_root<core::NoHost>(f, user_data, x_guess, step, grow_factor, max_expand, x_min, x_max,
                                             tolerance, tol_x, tol_f, maxiter, root);
    }
};

struct GasModel : thermal::GasPressureLaw {
    static constexpr const char* kResidualName = "floor.gas_residual";
    static constexpr const char* kClosureName = "floor.gas_closure";
};

struct GasRadiationModel {
    static constexpr bool kSoundSpeedMayRaise = true;
    static constexpr const char* kResidualName = "floor.gas_rad_residual";
    static constexpr const char* kClosureName = "floor.gas_rad_closure";
    static double sound_speed(double T, double mu, double Sigma, double Omega) noexcept {
        return gas_rad_cs(T, mu, Sigma, Omega);
    }
};

/// Counts equation-of-state calls: one per residual evaluation plus one per solve.
template <class Model>
struct Counted : Model {
    static double sound_speed(double T, double mu, double Sigma, double Omega) noexcept {
        ++sound_speed_calls;
        return Model::sound_speed(T, mu, Sigma, Omega);
    }
};

bool bind() {
    if (bound) return true;
    namespace d = vq::disk;
    if (!thermal::bind_constants() ||
        !vq::import_function(d::kStavemarkModule, "compute_gas_rad_cs", d::kSoundSpeedTag, &gas_rad_cs) ||
        !vq::import_function(d::kHollinModule, "hollin_closure_func", d::kClosureFuncTag, &hollin_closure) ||
        !vq::import_function(d::kSedgeModule, "sedge_closure_func", d::kClosureFuncTag, &sedge_closure))
        return false;
    bound = true;
    return true;
}

/// The lock-free twin of one of the two exported thermal closures, or null.
closure_func lock_free_twin(closure_func installed, bool count) {
    if (installed == sedge_closure)
        return count ? &thermal::closure<Counted<GasModel>, LockFreeHost> : &thermal::closure<GasModel, LockFreeHost>;
    if (installed == hollin_closure)
        return count ? &thermal::closure<Counted<GasRadiationModel>, LockFreeHost>
                     : &thermal::closure<GasRadiationModel, LockFreeHost>;
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
    int32_t status;
    uint64_t calls;
    {
        vq::GilRelease nogil;
        disk_floor::sound_speed_calls = 0;
        status = vq::disk::march_euler(run.state.data(), run.result(), t_start, t_end, max_steps, twin,
                                       closure->_derivative_fn, closure->_writer_fn, closure->_source_fn, run.params,
                                       geometry, [] { return false; });
        calls = disk_floor::sound_speed_calls;
    }
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

PyMethodDef module_methods[] = {
    {"bind_export", bind_export, METH_VARARGS,
     PyDoc_STR("bind_export(module, name, tag)\n--\n\nBind a native export by name and tag; its address.")},
    {"bind_class", bind_class_checked, METH_VARARGS,
     PyDoc_STR("bind_class(module, name, compiled_size, tag)\n--\n\n"
               "Bind a native class as an importing module does; the class.")},
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

bool add_raisers(PyObject* module) noexcept;  // the raisers of the error-check tests, below

int exec_module(PyObject* module) {
    auto init = init_guard.begin();
    if (!init) return -1;
    if (!vq::disk::bind_closure_base(&closure_class)) return -1;
    if (!vq::disk::bind_geometry_logs(&geometry)) return -1;
    scripted_table = *static_cast<const OneZoneClosureVTable*>(closure_class.table);
    scripted_table._pack_params = scripted_pack_params;
    ScriptedType.tp_name = "velquor._testsupport.ScriptedClosure";
    ScriptedType.tp_basicsize = sizeof(ScriptedClosureObject);
    ScriptedType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;  // GC support is inherited
    ScriptedType.tp_doc = "ScriptedClosure(**options)\n--\n\nA closure whose callbacks do what a test asks.";
    ScriptedType.tp_base = closure_class.type;
    ScriptedType.tp_new = scripted_new;
    ScriptedType.tp_getset = scripted_getset;
    if (PyType_Ready(&ScriptedType) < 0) return -1;
    if (!vq::publish_method_table(&ScriptedType, &scripted_table, vq::disk::kClosureTableTag)) return -1;
    if (!vq::add_object(module, "ScriptedClosure", Py_NewRef(reinterpret_cast<PyObject*>(&ScriptedType))))
        return -1;
    if (!vq::add_object(module, "SCRIPTED_CLOSURE_SIZE", PyLong_FromSize_t(sizeof(ScriptedClosureObject))) ||
        !vq::add_object(module, "CLOSURE_SIZE", PyLong_FromSize_t(sizeof(OneZoneClosureObject))))
        return -1;
    if (!add_raisers(module)) return -1;
    init.commit();
    return 0;
}

constexpr const char* kModuleDoc = "Native helpers for velquor's tests and benchmarks (not a public API).";

}  // namespace

VQ_DEFINE_MODULE(_testsupport, kModuleName, kModuleDoc, module_methods, exec_module)

// ---------------------------------------------------------------------------
// Third-party-style raisers, for the tests of the pending-error checks
//
// Native opacity subclasses whose overridden slot raises the way code outside
// the package would (PyGILState_Ensure, PyErr_Format, PyGILState_Release) at a
// chosen call, counted from 0 (raise_at = -1: never), after answering as its
// base does.  What a raising slot returns is a plausible value, never a
// failure marker: only the pending exception tells the caller.  A raiser
// counts its calls without synchronisation: one thread at a time per object.
//
//   RaisingGreyOpacity()                 C_GreyMurkwell; _log_opacity returns `value`
//   RaisingKramersOpacity(kappa0, ...)   C_PlumtreeOpacity; _log_opacity raises
//   RaisingTableOpacity(g1, g2, lk, oob) C_QuenbyOpacity; the slot named by `slot` raises
// ---------------------------------------------------------------------------

namespace {
namespace raisers {

struct Trigger {
    int32_t calls;     ///< calls of the raising slot so far
    int32_t raise_at;  ///< the call that raises; -1: none
};

/// Counts one call; at the chosen one, raises ValueError as third-party code does.
bool fire(Trigger& t, const char* who) noexcept {
    const int32_t k = t.calls++;
    if (k != t.raise_at) return false;
    const PyGILState_STATE g = PyGILState_Ensure();
    PyErr_Format(PyExc_ValueError, "%s raised at call %d", who, static_cast<int>(k));
    PyGILState_Release(g);
    return true;
}

struct GreyRaiser {
    GreyOpacityObject base;
    Trigger trigger;
    double value;  ///< [ln cm^2 g^-1] what _log_opacity answers
};

struct KramersRaiser {
    PlumtreeOpacityObject base;
    Trigger trigger;
};

enum TableSlot : int32_t {
    kNone, kLogOpacity, kBisect, kInterp, kCoords, kFindCell, kNearestFinite, kHandleOob, kTableSlots
};
constexpr const char* kTableSlotNames[kTableSlots] = {nullptr,   "_log_opacity",    "_bisect",    "_interp",
                                                      "_coords", "_find_cell", "_nearest_finite", "_handle_oob"};

struct TableRaiser {
    TableOpacityObject base;
    Trigger trigger;
    int32_t slot;  ///< TableSlot that raises
};

vq::opacity::Bases opacity_bases;
vq::BoundClass plumtree_class, quenby_class;
GreyOpacityVTable grey_table, kramers_table;
const GreyOpacityVTable* plumtree_slots = nullptr;
const TableOpacityVTable* quenby_slots = nullptr;
TableOpacityVTable table_tables[kTableSlots];  // [kNone]: the base's slots unchanged

PyTypeObject GreyRaiserType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject KramersRaiserType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject TableRaiserType = {PyVarObject_HEAD_INIT(nullptr, 0)};

Trigger& trigger_of(PyObject* o) noexcept {
    if (PyObject_TypeCheck(o, &GreyRaiserType)) return reinterpret_cast<GreyRaiser*>(o)->trigger;
    if (PyObject_TypeCheck(o, &KramersRaiserType)) return reinterpret_cast<KramersRaiser*>(o)->trigger;
    return reinterpret_cast<TableRaiser*>(o)->trigger;
}

// -- the raising slots --------------------------------------------------------

double grey_log_opacity(GreyOpacityObject* self, double, double) noexcept {
    auto* me = reinterpret_cast<GreyRaiser*>(self);
    fire(me->trigger, "RaisingGreyOpacity._log_opacity");
    return me->value;
}

double kramers_log_opacity(GreyOpacityObject* self, double log_T, double log_rho) noexcept {
    const double v = plumtree_slots->_log_opacity(self, log_T, log_rho);
    fire(reinterpret_cast<KramersRaiser*>(self)->trigger, "RaisingKramersOpacity._log_opacity");
    return v;
}

Trigger& table_trigger(void* self) noexcept { return static_cast<TableRaiser*>(self)->trigger; }

// Each answers as the base does, then raises (when it is its turn).
double table_log_opacity(GreyOpacityObject* self, double log_T, double log_rho) noexcept {
    const double v = quenby_slots->base._log_opacity(self, log_T, log_rho);
    fire(table_trigger(self), "RaisingTableOpacity._log_opacity");
    return v;
}
int table_bisect(TableOpacityObject* self, const double* arr, int n, double val) noexcept {
    const int k = quenby_slots->_bisect(self, arr, n, val);
    fire(table_trigger(self), "RaisingTableOpacity._bisect");
    return k;
}
double table_interp(TableOpacityObject* self, double x1, double x2, int i, int j) noexcept {
    const double v = quenby_slots->_interp(self, x1, x2, i, j);
    fire(table_trigger(self), "RaisingTableOpacity._interp");
    return v;
}
void table_coords(TableOpacityObject* self, double log_T, double log_rho, double* x1, double* x2) noexcept {
    quenby_slots->_coords(self, log_T, log_rho, x1, x2);
    fire(table_trigger(self), "RaisingTableOpacity._coords");
}
int table_find_cell(TableOpacityObject* self, double x1, double x2, int* i, int* j) noexcept {
    const int outside = quenby_slots->_find_cell(self, x1, x2, i, j);
    fire(table_trigger(self), "RaisingTableOpacity._find_cell");
    return outside;
}
double table_nearest_finite(TableOpacityObject* self, int ci, int cj) noexcept {
    const double v = quenby_slots->_nearest_finite(self, ci, cj);
    fire(table_trigger(self), "RaisingTableOpacity._nearest_finite");
    return v;
}
double table_handle_oob(TableOpacityObject* self, double x1, double x2) noexcept {
    const double v = quenby_slots->_handle_oob(self, x1, x2);
    fire(table_trigger(self), "RaisingTableOpacity._handle_oob");
    return v;
}

/// One table per raising slot: the base's slots with that one replaced.
void fill_table_tables() noexcept {
    for (TableOpacityVTable& t : table_tables) t = *quenby_slots;
    table_tables[kLogOpacity].base._log_opacity = table_log_opacity;
    table_tables[kBisect]._bisect = table_bisect;
    table_tables[kInterp]._interp = table_interp;
    table_tables[kCoords]._coords = table_coords;
    table_tables[kFindCell]._find_cell = table_find_cell;
    table_tables[kNearestFinite]._nearest_finite = table_nearest_finite;
    table_tables[kHandleOob]._handle_oob = table_handle_oob;
}

// -- construction and attributes -------------------------------------------------

PyObject* grey_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* o = opacity_bases.grey.type->tp_new(type, args, kwargs);
    if (!o) return nullptr;
    auto* me = reinterpret_cast<GreyRaiser*>(o);
    me->base.vtab = &grey_table;
    me->trigger = Trigger{0, -1};
    me->value = 0.0;
    return o;
}

PyObject* kramers_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* o = plumtree_class.type->tp_new(type, args, kwargs);
    if (!o) return nullptr;
    auto* me = reinterpret_cast<KramersRaiser*>(o);
    me->base.base.vtab = &kramers_table;
    me->trigger = Trigger{0, -1};
    return o;
}

PyObject* table_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* o = quenby_class.type->tp_new(type, args, kwargs);
    if (!o) return nullptr;
    auto* me = reinterpret_cast<TableRaiser*>(o);
    me->base.base.vtab = &table_tables[kNone].base;
    me->trigger = Trigger{0, -1};
    me->slot = kNone;
    return o;
}

PyObject* get_calls(PyObject* o, void*) { return PyLong_FromLong(trigger_of(o).calls); }
int set_calls(PyObject* o, PyObject* v, void*) { return v && vq::to_int32(v, &trigger_of(o).calls) ? 0 : -1; }
PyObject* get_raise_at(PyObject* o, void*) { return PyLong_FromLong(trigger_of(o).raise_at); }
int set_raise_at(PyObject* o, PyObject* v, void*) { return v && vq::to_int32(v, &trigger_of(o).raise_at) ? 0 : -1; }

PyObject* get_value(PyObject* o, void*) { return PyFloat_FromDouble(reinterpret_cast<GreyRaiser*>(o)->value); }
int set_value(PyObject* o, PyObject* v, void*) {
    return v && vq::to_double(v, &reinterpret_cast<GreyRaiser*>(o)->value) ? 0 : -1;
}

PyObject* get_slot(PyObject* o, void*) {
    const int32_t slot = reinterpret_cast<TableRaiser*>(o)->slot;
    if (slot == kNone) Py_RETURN_NONE;
    return PyUnicode_FromString(kTableSlotNames[slot]);
}
int set_slot(PyObject* o, PyObject* v, void*) {
    auto* me = reinterpret_cast<TableRaiser*>(o);
    int32_t slot = -1;
    if (v == Py_None) {
        slot = kNone;
    } else if (v && PyUnicode_Check(v)) {
        for (int32_t k = kNone + 1; k < kTableSlots; ++k)
            if (PyUnicode_CompareWithASCIIString(v, kTableSlotNames[k]) == 0) slot = k;
    }
    if (slot < 0) {
        PyErr_SetString(PyExc_ValueError, "slot must be None or the name of a table operation");
        return -1;
    }
    me->slot = slot;
    me->base.base.vtab = &table_tables[slot].base;
    return 0;
}

#define VQ_TRIGGER_GETSET                                                                                   \
    {"calls", get_calls, set_calls, PyDoc_STR("Calls of the raising slot so far (settable)."), nullptr},    \
    {"raise_at", get_raise_at, set_raise_at, PyDoc_STR("The call that raises, from 0; -1: none."), nullptr}

PyGetSetDef grey_getset[] = {
    VQ_TRIGGER_GETSET,
    {"value", get_value, set_value, PyDoc_STR("What _log_opacity answers."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef kramers_getset[] = {VQ_TRIGGER_GETSET, {nullptr, nullptr, nullptr, nullptr, nullptr}};
PyGetSetDef table_getset[] = {
    VQ_TRIGGER_GETSET,
    {"slot", get_slot, set_slot, PyDoc_STR("The table operation that raises (a name), or None."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef VQ_TRIGGER_GETSET

// -- lock-free helpers -------------------------------------------------------------

/// A scalar_func for find_root: calls the _log_opacity of the grey opacity at
/// `user_data` (at ln rho = -10) and ignores what came back, as a careless
/// residual would; f(x) = x - 10.
int32_t opacity_residual(double x, void* user_data, double* f_out) noexcept {
    vq::opacity::log_opacity(user_data, x, -10.0);
    *f_out = x - 10.0;
    return 0;
}

/// What the checks of a thread that has released the lock answer.
struct LockFreeAnswers {
    int holds_lock;  ///< PyGILState_Check() at the time of the checks
    bool plain;      ///< vq::error_pending()
    bool cached;     ///< vq::error_pending(vq::thread_errors())
};

LockFreeAnswers answer_without_lock(bool raise_inside) noexcept {
    if (raise_inside) {
        const PyGILState_STATE g = PyGILState_Ensure();
        PyErr_SetString(PyExc_ValueError, "raised without the lock");
        PyGILState_Release(g);
    }
    return LockFreeAnswers{PyGILState_Check(), vq::error_pending(), vq::error_pending(vq::thread_errors())};
}

PyObject* report(const LockFreeAnswers& a, bool* was_pending) {
    *was_pending = PyErr_Occurred() != nullptr;
    PyErr_Clear();
    return Py_BuildValue("(iOOO)", a.holds_lock, a.plain ? Py_True : Py_False, a.cached ? Py_True : Py_False,
                         *was_pending ? Py_True : Py_False);
}

// check_without_lock(raise_before, raise_inside, publish) -> (holds_lock, plain, cached, pending_after)
PyObject* check_without_lock(PyObject*, PyObject* args) {
    int raise_before, raise_inside, publish;
    if (!PyArg_ParseTuple(args, "ppp", &raise_before, &raise_inside, &publish)) return nullptr;
    if (raise_before) PyErr_SetString(PyExc_ValueError, "raised before the lock was released");
    LockFreeAnswers a{};
    if (publish) {
        vq::PublishThreadState published;
        vq::GilRelease nogil;
        a = answer_without_lock(raise_inside);
    } else {
        vq::GilRelease nogil;
        a = answer_without_lock(raise_inside);
    }
    bool pending;
    return report(a, &pending);
}

// check_on_foreign_thread(raise_inside) -> (holds_lock, plain, cached, pending_after)
// The same from a thread the interpreter has never seen: it takes a thread
// state with PyGILState_Ensure, releases the lock and asks.
PyObject* check_on_foreign_thread(PyObject*, PyObject* args) {
    int raise_inside;
    if (!PyArg_ParseTuple(args, "p", &raise_inside)) return nullptr;
    LockFreeAnswers a{};
    bool pending = false;
    vq::Ref result;
    {
        vq::GilRelease nogil;
        std::thread worker([&] {
            const PyGILState_STATE g = PyGILState_Ensure();
            {
                vq::GilRelease inner;
                a = answer_without_lock(raise_inside != 0);
            }
            result = vq::Ref::steal(report(a, &pending));
            PyGILState_Release(g);
        });
        worker.join();
    }
    return result.release();
}

// no_thread_state_check() -> bool: vq::error_pending() on a thread with no
// thread state at all (the checks fall back to taking the lock).
PyObject* no_thread_state_check(PyObject*, PyObject*) {
    bool answer = true;
    {
        vq::GilRelease nogil;
        std::thread worker([&] { answer = vq::error_pending() || vq::error_pending(vq::thread_errors()); });
        worker.join();
    }
    return PyBool_FromLong(answer);
}

// table_bisect(table, grid, values) -> list of int: the table's _bisect, called
// through its method table, with `grid` (its length as n) at every value.
PyObject* table_bisect(PyObject*, PyObject* args) {
    PyObject *table, *grid_obj, *values_obj;
    if (!PyArg_ParseTuple(args, "OOO", &table, &grid_obj, &values_obj)) return nullptr;
    if (!PyObject_TypeCheck(table, opacity_bases.grey.type) ||
        vq::method_table_of(Py_TYPE(table), vq::opacity::kTableOpacityTag) == nullptr) {
        PyErr_SetString(PyExc_TypeError, "table_bisect: not a table opacity");
        return nullptr;
    }
    vq::F64View grid, values;
    if (!grid.acquire(grid_obj, 1, "grid") || !values.acquire(values_obj, 1, "values")) return nullptr;
    if (grid.size() > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "table_bisect: grid too long");
        return nullptr;
    }
    auto* t = reinterpret_cast<TableOpacityObject*>(table);
    const TableOpacityVTable* vt = vq::opacity::table_vtab(t);
    vq::Ref out = vq::Ref::steal(PyList_New(values.size()));
    if (!out) return nullptr;
    for (Py_ssize_t k = 0; k < values.size(); ++k) {
        const int r = vt->_bisect(t, grid.data(), static_cast<int>(grid.size()), values.data()[k]);
        if (PyErr_Occurred()) return nullptr;
        PyObject* item = PyLong_FromLong(r);
        if (!item) return nullptr;
        PyList_SET_ITEM(out.get(), k, item);
    }
    return out.release();
}

PyMethodDef methods[] = {
    {"check_without_lock", check_without_lock, METH_VARARGS,
     PyDoc_STR("check_without_lock(raise_before, raise_inside, publish, /)\n--\n\n"
               "Release the lock (publishing the thread state or not) and ask whether an exception is\n"
               "pending, after raising before the release and/or without the lock as third-party code\n"
               "does: (PyGILState_Check() during the checks, error_pending(), error_pending(thread_errors()),\n"
               "whether an exception was pending afterwards (it is cleared)).")},
    {"check_on_foreign_thread", check_on_foreign_thread, METH_VARARGS,
     PyDoc_STR("check_on_foreign_thread(raise_inside, /)\n--\n\n"
               "check_without_lock on a native thread unknown to the interpreter.")},
    {"table_bisect", table_bisect, METH_VARARGS,
     PyDoc_STR("table_bisect(table, grid, values, /)\n--\n\n"
               "The table opacity's _bisect through its method table at every value: a list of int.")},
    {"no_thread_state_check", no_thread_state_check, METH_NOARGS,
     PyDoc_STR("no_thread_state_check()\n--\n\nerror_pending() on a thread without a thread state.")},
    {nullptr, nullptr, 0, nullptr},
};

// -- start-up --------------------------------------------------------------------------

bool ready(PyTypeObject* type, const char* name, std::size_t size, PyTypeObject* base, newfunc tp_new,
           PyGetSetDef* getset, const char* doc, const void* table, const char* tag) noexcept {
    if (!(type->tp_flags & Py_TPFLAGS_READY)) {
        type->tp_name = name;
        type->tp_basicsize = static_cast<Py_ssize_t>(size);
        type->tp_flags = Py_TPFLAGS_DEFAULT;
        type->tp_doc = doc;
        type->tp_base = base;
        type->tp_new = tp_new;
        type->tp_getset = getset;
        if (PyType_Ready(type) < 0) return false;
    }
    return vq::publish_method_table(type, table, tag);
}

bool add_to(PyObject* module) noexcept {
    if (!vq::opacity::bind_bases(&opacity_bases) ||
        !vq::bind_class(vq::opacity::kPlumtreeModule, "C_PlumtreeOpacity", sizeof(PlumtreeOpacityObject),
                        vq::opacity::kGreyTableTag, &plumtree_class) ||
        !vq::bind_class(vq::opacity::kQuenbyModule, "C_QuenbyOpacity", sizeof(TableOpacityObject),
                        vq::opacity::kTableOpacityTag, &quenby_class))
        return false;
    grey_table = *opacity_bases.grey_table();
    grey_table._log_opacity = grey_log_opacity;
    plumtree_slots = static_cast<const GreyOpacityVTable*>(plumtree_class.table);
    kramers_table = *plumtree_slots;
    kramers_table._log_opacity = kramers_log_opacity;
    quenby_slots = static_cast<const TableOpacityVTable*>(quenby_class.table);
    fill_table_tables();
    if (!ready(&GreyRaiserType, "velquor._testsupport.RaisingGreyOpacity", sizeof(GreyRaiser),
               opacity_bases.grey.type, grey_new, grey_getset,
               "RaisingGreyOpacity()\n--\n\nC_GreyMurkwell whose _log_opacity answers `value` and raises at "
               "call `raise_at`.",
               &grey_table, vq::opacity::kGreyTableTag) ||
        !ready(&KramersRaiserType, "velquor._testsupport.RaisingKramersOpacity", sizeof(KramersRaiser),
               plumtree_class.type, kramers_new, kramers_getset,
               "RaisingKramersOpacity(kappa0, kappa_es=0.34)\n--\n\nC_PlumtreeOpacity whose _log_opacity "
               "raises at call `raise_at`.",
               &kramers_table, vq::opacity::kGreyTableTag) ||
        !ready(&TableRaiserType, "velquor._testsupport.RaisingTableOpacity", sizeof(TableRaiser),
               quenby_class.type, table_new, table_getset,
               "RaisingTableOpacity(g1, g2, lk, oob)\n--\n\nC_QuenbyOpacity whose operation named `slot` "
               "raises at its call `raise_at`.",
               &table_tables[kNone], vq::opacity::kTableOpacityTag))
        return false;
    return vq::add_object(module, "RaisingGreyOpacity", Py_NewRef(reinterpret_cast<PyObject*>(&GreyRaiserType))) &&
           vq::add_object(module, "RaisingKramersOpacity",
                          Py_NewRef(reinterpret_cast<PyObject*>(&KramersRaiserType))) &&
           vq::add_object(module, "RaisingTableOpacity", Py_NewRef(reinterpret_cast<PyObject*>(&TableRaiserType))) &&
           vq::add_object(module, "OPACITY_RESIDUAL",
                          PyLong_FromVoidPtr(reinterpret_cast<void*>(&opacity_residual))) &&
           PyModule_AddFunctions(module, methods) == 0;
}

}  // namespace raisers

bool add_raisers(PyObject* module) noexcept { return raisers::add_to(module); }

}  // namespace
