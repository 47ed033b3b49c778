// velquor._testsupport: native helpers for the test suite and the benchmarks.
//
// ScriptedClosure is a closure whose callbacks do what the test asks: return a
// chosen status or raise at a chosen step (or past a chosen time), take a
// constant step, give rates that are constant or a power of M (dM/dt = c M^p has
// a closed-form solution), add known rates from a source, and record the
// previous-step record the closure first receives.
// The module also exposes the import-time binding checks and a copy of the
// integrator's loop that asks nothing of the interpreter (the benchmark floor).
#include "velquor/capi.hpp"
#include "velquor/disk.hpp"
#include "velquor/euler.hpp"
#include "velquor/brent.hpp"
#include "velquor/thermal.hpp"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>

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
    for (int32_t f = 0; f < kRows; ++f) result[static_cast<std::ptrdiff_t>(f) * n + k] = row[f];
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
    vq::F64View state;
    if (!state.acquire(state_obj, 1, "initial_state")) return nullptr;
    if (state.size() != 2 || max_steps < 1 || closure->n_result_fields < 1 || !closure->vtab->is_ready(closure)) {
        PyErr_SetString(PyExc_ValueError, "march_plain: bad arguments");
        return nullptr;
    }
    DiskParameters params{};
    closure->vtab->_pack_params(closure, &params);
    if (PyErr_Occurred()) return nullptr;
    params.epsilon = epsilon;
    vq::Ref buffer = vq::Ref::steal(PyByteArray_FromStringAndSize(
        nullptr, static_cast<Py_ssize_t>(sizeof(double)) * closure->n_result_fields * max_steps));
    if (!buffer) return nullptr;
    auto* result = reinterpret_cast<double*>(PyByteArray_AS_STRING(buffer.get()));
    int32_t status;
    {
        vq::GilRelease nogil;
        status = vq::disk::march_euler(state.data(), result, t_start, t_end, max_steps, closure->_closure_fn,
                                       closure->_derivative_fn, closure->_writer_fn, closure->_source_fn, params,
                                       geometry, [] { return false; });
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
    vq::F64View state;
    if (!state.acquire(state_obj, 1, "initial_state")) return nullptr;
    if (state.size() != 2 || max_steps < 1 || closure->n_result_fields < 1 || closure->_c_opacity == Py_None ||
        !closure->vtab->is_ready(closure)) {
        PyErr_SetString(PyExc_ValueError, "march_disk_plain: bad arguments");
        return nullptr;
    }
    DiskParameters params{};
    closure->vtab->_pack_params(closure, &params);
    if (PyErr_Occurred()) return nullptr;
    params.epsilon = epsilon;
    vq::Ref buffer = vq::Ref::steal(PyByteArray_FromStringAndSize(
        nullptr, static_cast<Py_ssize_t>(sizeof(double)) * closure->n_result_fields * max_steps));
    if (!buffer) return nullptr;
    auto* result = reinterpret_cast<double*>(PyByteArray_AS_STRING(buffer.get()));
    int32_t status;
    uint64_t calls;
    {
        vq::GilRelease nogil;
        disk_floor::sound_speed_calls = 0;
        status = vq::disk::march_euler(state.data(), result, t_start, t_end, max_steps, twin, closure->_derivative_fn,
                                       closure->_writer_fn, closure->_source_fn, params, geometry,
                                       [] { return false; });
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
    init.commit();
    return 0;
}

constexpr const char* kModuleDoc = "Native helpers for velquor's tests and benchmarks (not a public API).";

}  // namespace

VQ_DEFINE_MODULE(_testsupport, kModuleName, kModuleDoc, module_methods, exec_module)
