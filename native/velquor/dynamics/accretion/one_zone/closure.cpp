// velquor.dynamics.accretion.one_zone.closure: closure base class and the constants of the disk model.
//
// The closure base class OneZoneClosure (callback slots, the opacity, the result
// row count and the native method table every closure shares) and the physical
// constants of the one-zone model (velquor/core/constants.hpp), exported
// natively as "double" entries and as module attributes.
#include "velquor/bind/capi.hpp"
#include "velquor/bind/disk.hpp"
#include "velquor/bind/opacity.hpp"
#include "velquor/core/constants.hpp"

namespace {

constexpr const char* kModuleName = "velquor.dynamics.accretion.one_zone.closure";
constexpr const char* kModuleDoc =
    "Closure base class and physical constants of the one-zone disk model.\n\n"
    "OneZoneClosure is the base of every closure; the constants (CGS; LOG_* are natural\n"
    "logarithms) are also exported natively for the model's other modules.";
vq::opacity::Bases opacity_bases;

// ---------------------------------------------------------------------------
// Native operations
// ---------------------------------------------------------------------------

int32_t closure_is_ready(OneZoneClosureObject* self) noexcept {
    return self->_closure_fn && self->_derivative_fn && self->_writer_fn;
}

// The base closure carries no run parameters: it packs zeros and its opacity.
void closure_pack_params(OneZoneClosureObject* self, DiskParameters* p) noexcept {
    p->MBH = p->R_in = p->alpha = p->mu = 0.0;
    p->fallback = nullptr;
    p->advection = nullptr;
    p->opacity = self->_opacity_ptr;
}

const OneZoneClosureVTable closure_table = {closure_is_ready, closure_pack_params};

// ---------------------------------------------------------------------------
// The class
// ---------------------------------------------------------------------------

PyTypeObject ClosureType = {PyVarObject_HEAD_INIT(nullptr, 0)};

// Arguments are accepted and ignored so that subclasses define their own.
PyObject* closure_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = reinterpret_cast<OneZoneClosureObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->vtab = &closure_table;
    self->_c_opacity = Py_NewRef(Py_None);
    self->_opacity_obj = Py_NewRef(Py_None);
    return reinterpret_cast<PyObject*>(self);
}

int closure_traverse(PyObject* o, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<OneZoneClosureObject*>(o);
    Py_VISIT(self->_c_opacity);
    Py_VISIT(self->_opacity_obj);
    return 0;
}

int closure_clear(PyObject* o) {
    auto* self = reinterpret_cast<OneZoneClosureObject*>(o);
    Py_CLEAR(self->_c_opacity);
    Py_CLEAR(self->_opacity_obj);
    self->_opacity_ptr = nullptr;
    return 0;
}

void closure_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    closure_clear(o);
    Py_TYPE(o)->tp_free(o);
}

OneZoneClosureObject* as_closure(PyObject* o) { return reinterpret_cast<OneZoneClosureObject*>(o); }

PyObject* closure_get_opacity(PyObject* o, void*) { return Py_NewRef(as_closure(o)->_opacity_obj); }

// Fills the three opacity fields together; None clears them.
int closure_set_opacity(PyObject* o, PyObject* value, void*) {
    OneZoneClosureObject* self = as_closure(o);
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete the opacity; assign None to remove it");
        return -1;
    }
    if (!vq::require_type(value, opacity_bases.grey.type, "opacity", true)) return -1;
    if (!vq::disk::require_idle(self, "replace the opacity")) return -1;
    PyObject* old_c = self->_c_opacity;
    PyObject* old_obj = self->_opacity_obj;
    self->_c_opacity = Py_NewRef(value);
    self->_opacity_obj = Py_NewRef(value);
    self->_opacity_ptr = value == Py_None ? nullptr : static_cast<void*>(value);
    Py_XDECREF(old_c);
    Py_XDECREF(old_obj);
    return 0;
}

PyObject* address_or_none(const void* p) { return p ? PyLong_FromVoidPtr(const_cast<void*>(p)) : Py_NewRef(Py_None); }

PyObject* get_closure_fn(PyObject* o, void*) { return address_or_none(reinterpret_cast<void*>(as_closure(o)->_closure_fn)); }
PyObject* get_derivative_fn(PyObject* o, void*) {
    return address_or_none(reinterpret_cast<void*>(as_closure(o)->_derivative_fn));
}
PyObject* get_writer_fn(PyObject* o, void*) { return address_or_none(reinterpret_cast<void*>(as_closure(o)->_writer_fn)); }
PyObject* get_source_fn(PyObject* o, void*) { return address_or_none(reinterpret_cast<void*>(as_closure(o)->_source_fn)); }
PyObject* get_opacity_ptr(PyObject* o, void*) { return address_or_none(as_closure(o)->_opacity_ptr); }
PyObject* get_c_opacity(PyObject* o, void*) { return Py_NewRef(as_closure(o)->_c_opacity); }
PyObject* get_n_result_fields(PyObject* o, void*) { return PyLong_FromLong(as_closure(o)->n_result_fields); }
PyObject* get_runs_in_progress(PyObject* o, void*) { return PyLong_FromLong(as_closure(o)->_runs_in_progress); }

PyGetSetDef closure_getset[] = {
    {"opacity", closure_get_opacity, closure_set_opacity,
     PyDoc_STR("Grey opacity (a C_GreyMurkwell instance) used by the thermal solve, or None."), nullptr},
    {"n_result_fields", get_n_result_fields, nullptr, PyDoc_STR("Rows written per step by the installed writer."),
     nullptr},
    {"_c_opacity", get_c_opacity, nullptr, PyDoc_STR("The installed opacity as a C_GreyMurkwell, or None."), nullptr},
    {"_opacity_ptr", get_opacity_ptr, nullptr, PyDoc_STR("Address of the native opacity object, or None."), nullptr},
    {"_closure_fn", get_closure_fn, nullptr, PyDoc_STR("Address of the thermal closure callback, or None."), nullptr},
    {"_derivative_fn", get_derivative_fn, nullptr, PyDoc_STR("Address of the derivative callback, or None."),
     nullptr},
    {"_writer_fn", get_writer_fn, nullptr, PyDoc_STR("Address of the result writer callback, or None."), nullptr},
    {"_source_fn", get_source_fn, nullptr, PyDoc_STR("Address of the source callback, or None."), nullptr},
    {"_runs_in_progress", get_runs_in_progress, nullptr,
     PyDoc_STR("Number of runs currently integrating with this closure."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* closure_is_ready_py(PyObject* o, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!vq::bind_none("is_ready", nargs, kwnames)) return nullptr;
    OneZoneClosureObject* self = as_closure(o);
    return PyBool_FromLong(self->vtab->is_ready(self));
}

PyMethodDef closure_methods[] = {
    {"is_ready", vq::as_cfunction(closure_is_ready_py),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("is_ready($self, /)\n--\n\n"
               "True when the closure, derivative and writer callbacks are installed (the source is optional).")},
    {nullptr, nullptr, 0, nullptr},
};

const char* const kClosureDoc =
    "OneZoneClosure(*args, **kwargs)\n--\n\n"
    "Base class of one-zone disk closures (arguments are accepted and ignored, so that\n"
    "subclasses can define their own).\n\n"
    "A closure carries the native callbacks the integrator calls at every step (thermal\n"
    "closure, optional source, derivative, writer), the grey opacity used by the thermal\n"
    "solve and the number of result rows its writer fills, and packs the run parameters\n"
    "into the native parameter record.  Concrete closures install the callbacks.";

bool ready_type() {
    ClosureType.tp_name = "velquor.dynamics.accretion.one_zone.closure.OneZoneClosure";
    ClosureType.tp_basicsize = sizeof(OneZoneClosureObject);
    ClosureType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    ClosureType.tp_doc = kClosureDoc;
    ClosureType.tp_new = closure_new;
    ClosureType.tp_dealloc = closure_dealloc;
    ClosureType.tp_traverse = closure_traverse;
    ClosureType.tp_clear = closure_clear;
    ClosureType.tp_methods = closure_methods;
    ClosureType.tp_getset = closure_getset;
    return PyType_Ready(&ClosureType) == 0 &&
           vq::publish_method_table(&ClosureType, &closure_table, vq::disk::kClosureTableTag);
}

// ---------------------------------------------------------------------------
// Module
// ---------------------------------------------------------------------------

bool setup(PyObject* module) noexcept {
    if (!vq::opacity::bind_bases(&opacity_bases)) return false;
    if (!ready_type()) return false;
    if (!vq::add_object(module, "OneZoneClosure", Py_NewRef(reinterpret_cast<PyObject*>(&ClosureType)))) return false;
    // Exported by address: the constants live as long as the process.
    for (const vq::constants::Named& c : vq::constants::kExported) {
        if (!vq::export_pointer(module, c.name, const_cast<double*>(c.value), vq::disk::kDoubleTag)) return false;
        if (!vq::add_object(module, c.name, PyFloat_FromDouble(*c.value))) return false;
    }
    return true;
}

}  // namespace

VQ_DEFINE_MODULE(closure, kModuleName, kModuleDoc, nullptr, setup)
