// velquor._testsupport, scripted closure: callbacks that do what a test asks.
//
// ScriptedClosure, a closure whose callbacks do what a test asks.
//
// They return a chosen status or raise at a chosen step (or past a chosen
// time), take a constant step, give rates that are constant or a power of M
// (dM/dt = c M^p has a closed-form solution), add known rates from a source,
// and record the previous-step record the closure first receives.
#include "parts.hpp"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>

namespace {

using vq::testsupport::closure_class;

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

}  // namespace

bool vq::testsupport::add_scripted(PyObject* module) noexcept {
    // GC support is inherited: the script owns no references.
    return vq::disk::ready_closure_class(
               &ScriptedType, &scripted_table, closure_class,
               {"velquor._testsupport.ScriptedClosure", sizeof(ScriptedClosureObject),
                "ScriptedClosure(**options)\n--\n\nA closure whose callbacks do what a test asks.", scripted_new,
                scripted_pack_params, nullptr, nullptr, nullptr, nullptr, scripted_getset}) &&
           vq::add_object(module, "ScriptedClosure", Py_NewRef(reinterpret_cast<PyObject*>(&ScriptedType))) &&
           vq::add_object(module, "SCRIPTED_CLOSURE_SIZE", PyLong_FromSize_t(sizeof(ScriptedClosureObject))) &&
           vq::add_object(module, "CLOSURE_SIZE", PyLong_FromSize_t(sizeof(OneZoneClosureObject)));
}
