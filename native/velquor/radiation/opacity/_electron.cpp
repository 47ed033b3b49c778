// velquor.radiation.opacity._electron: constant electron-scattering opacity.
//
// ElectronScatteringOpacity: the constant Thomson opacity kappa = KAPPA_ES of
// fully ionised gas, as a native subclass of C_GreyMurkwell.  The value is the
// model's KAPPA_ES (velquor/core/constants.hpp), so that the whole package uses
// one number.  It is the default opacity of the one-zone closures.
#include "velquor/bind/capi.hpp"
#include "velquor/bind/opacity.hpp"
#include "velquor/core/constants.hpp"

#include <cmath>
#include <cstddef>

namespace {

constexpr const char* kModuleName = "velquor.radiation.opacity._electron";
constexpr const char* kModuleDoc =
    "Constant electron-scattering opacity (ElectronScatteringOpacity).\n\n"
    "KAPPA_ES is its value [cm^2 g^-1], the package's one electron-scattering opacity.";
vq::opacity::Bases bases;

constexpr double kappa_es = vq::constants::KAPPA_ES;          // [cm^2 g^-1]
constexpr double log_kappa_es = vq::constants::LOG_KAPPA_ES;  // its natural logarithm

/// Instance layout: nothing beyond the grey base.
struct ElectronObject {
    GreyOpacityObject base;  ///< header; base.vtab points at electron_table
};
static_assert(offsetof(ElectronObject, base) == 0 && sizeof(ElectronObject) == sizeof(GreyOpacityObject));

// ---------------------------------------------------------------------------
// Native operations
// ---------------------------------------------------------------------------

double electron_log_opacity(GreyOpacityObject*, double, double) noexcept { return log_kappa_es; }

double electron_derivative(GreyOpacityObject*, double, double) noexcept { return 0.0; }

GreyOpacityVTable electron_table;  // copied from the base table at import, then overridden

// The constant itself, unless a further native subclass replaced the law; then
// the base's exp(_log_opacity) with its error test applies.
double electron_opacity(GreyOpacityObject* self, double rho, double T) noexcept {
    if (self->vtab->_log_opacity == electron_log_opacity) return kappa_es;
    return bases.grey_table()->_opacity(self, rho, T);
}

// ---------------------------------------------------------------------------
// The class
// ---------------------------------------------------------------------------

PyTypeObject ElectronType = {PyVarObject_HEAD_INIT(nullptr, 0)};

constexpr vq::Signature kCinit{"__cinit__", nullptr, 0, 0};

PyObject* electron_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (!vq::bind(kCinit, args, kwargs, nullptr)) return nullptr;
    PyObject* o = bases.grey.type->tp_new(type, args, kwargs);
    if (o) reinterpret_cast<ElectronObject*>(o)->base.vtab = &electron_table;
    return o;
}

// No constructor arguments: the class rebuilds the instance; the attribute
// dictionary of a script subclass travels as state (applied by the base's
// __setstate__).
PyObject* electron_reduce(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!vq::bind_none("__reduce__", nargs, kwnames)) return nullptr;
    vq::Ref d = vq::Ref::steal(PyObject_GetAttrString(self, "__dict__"));
    if (!d) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
    }
    bool has_state = false;
    if (d && !vq::to_truth(d.get(), &has_state)) return nullptr;
    // Read only now: the lookup and the truth test run user code, which may
    // reassign __class__ and free the class the instance had before.
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (has_state) return Py_BuildValue("(O()(O))", type, d.get());
    return Py_BuildValue("(O())", type);
}

PyObject* get_kappa(PyObject*, void*) { return PyFloat_FromDouble(kappa_es); }

PyGetSetDef electron_getset[] = {
    {"kappa", get_kappa, nullptr, PyDoc_STR("The constant opacity [cm^2 g^-1]."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef electron_methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(electron_reduce)),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("__reduce__($self, /)\n--\n\nPickled form: the class, no arguments, and any attributes.")},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kElectronDoc =
    "ElectronScatteringOpacity()\n--\n\n"
    "Electron-scattering (Thomson) opacity of fully ionised gas.\n\n"
    "kappa(rho, T) = KAPPA_ES = 0.2 (1 + X) cm^2 g^-1 (0.34 for X = 0.70), independent\n"
    "of density and temperature, so both logarithmic derivatives are 0.  The value is\n"
    "the one-zone model's KAPPA_ES constant, available as the ``kappa`` attribute.";

bool ready_type() {
    if (!(ElectronType.tp_flags & Py_TPFLAGS_READY)) {
        ElectronType.tp_name = "velquor.radiation.opacity._electron.ElectronScatteringOpacity";
        ElectronType.tp_basicsize = sizeof(ElectronObject);
        ElectronType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
        ElectronType.tp_doc = kElectronDoc;
        ElectronType.tp_base = bases.grey.type;
        ElectronType.tp_new = electron_new;
        ElectronType.tp_methods = electron_methods;
        ElectronType.tp_getset = electron_getset;
        if (PyType_Ready(&ElectronType) < 0) return false;
    }
    return vq::publish_method_table(&ElectronType, &electron_table, vq::opacity::kGreyTableTag);
}

bool setup(PyObject* module) noexcept {
    if (!vq::opacity::bind_bases(&bases)) return false;
    electron_table = *bases.grey_table();
    electron_table._opacity = electron_opacity;
    electron_table._log_opacity = electron_log_opacity;
    electron_table._dlogkappa_dlogrho = electron_derivative;
    electron_table._dlogkappa_dlogT = electron_derivative;
    if (!ready_type()) return false;
    return vq::add_object(module, "ElectronScatteringOpacity", Py_NewRef(reinterpret_cast<PyObject*>(&ElectronType))) &&
           vq::add_object(module, "KAPPA_ES", PyFloat_FromDouble(kappa_es));
}

}  // namespace

VQ_DEFINE_MODULE(_electron, kModuleName, kModuleDoc, nullptr, setup)
