// velquor.dynamics.accretion.one_zone.models._hollin: the full-pressure closure and its gas-plus-radiation thermal solve.
//
// FullPressureClosure (alias hollinClosure): the concrete closure of the one-zone
// disk model.  It installs the thermal closure chosen at construction (gas plus
// radiation pressure, hollin_closure_func, or gas pressure only, _sedge's
// sedge_closure_func), the viscous derivative, the standard writer and, with
// fallback, the fallback source; owns the run parameters and the fallback
// parameter holder; and packs them for the integrator.
//
// hollin_closure_func is velquor/thermal.hpp with the gas-plus-radiation
// equation of state of _stavemark and the root finder of _tarnwick.
#include "velquor/bind/capi.hpp"
#include "velquor/bind/disk.hpp"
#include "velquor/bind/opacity.hpp"
#include "velquor/bind/thermal.hpp"

#include <cmath>
#include <limits>

namespace {

namespace thermal = vq::thermal;

constexpr const char* kModuleName = "velquor.dynamics.accretion.one_zone.models._hollin";
constexpr const char* kModuleDoc =
    "Full-pressure closure of the one-zone disk model.\n\n"
    "FullPressureClosure (alias hollinClosure) selects the thermal model (gas plus radiation\n"
    "pressure, or gas pressure only), owns the opacity and the fallback parameters and installs\n"
    "the native callbacks the integrator calls.  hollin_closure_func, the gas-plus-radiation\n"
    "thermal solve, is exported natively.";

// Bound at import.
vq::BoundClass closure_class;
vq::opacity::Bases opacity_bases;
vq::BoundClass fallback_class;   // CFallback
vq::BoundClass advection_class;  // CAdvection (bound for advective closures; unused here)
const int32_t* n_result_fields = nullptr;
writer_func standard_writer_func = nullptr;
derivative_func viscous_derivative_func = nullptr;
source_func fallback_source_func = nullptr;
closure_func sedge_closure_func = nullptr;

// ---------------------------------------------------------------------------
// The gas-plus-radiation thermal closure
// ---------------------------------------------------------------------------

struct HollinModel : thermal::ThinDisk<vq::eos::GasRadiation> {
    static constexpr const char* kResidualName = "velquor.dynamics.accretion.one_zone.models._hollin.hollin_residual";
    static constexpr const char* kClosureName =
        "velquor.dynamics.accretion.one_zone.models._hollin.hollin_closure_func";
};

constexpr closure_func hollin_closure_func = &thermal::closure<HollinModel, thermal::InterpreterHost>;

// ---------------------------------------------------------------------------
// Native operations
// ---------------------------------------------------------------------------

FullPressureClosureObject* as_hollin(PyObject* o) noexcept { return reinterpret_cast<FullPressureClosureObject*>(o); }
FullPressureClosureObject* as_hollin(OneZoneClosureObject* o) noexcept {
    return reinterpret_cast<FullPressureClosureObject*>(o);
}

constexpr const char* kNotBound =
    "runtime parameters are not bound: call bind_runtime_parameters(run_params) first";

/// Packs the run parameters (borrowed pointers into this closure's objects).  May
/// run without the lock.  A closure whose last bind did not complete raises
/// RuntimeError instead of handing out NaN parameters or a null fallback record.
void hollin_pack_params(OneZoneClosureObject* base, DiskParameters* p) noexcept {
    const FullPressureClosureObject* self = as_hollin(base);
    p->MBH = self->_M_BH;
    p->R_in = self->_R_in;
    p->alpha = self->_alpha;
    p->mu = self->_mu;
    p->fallback = self->_fallback_ptr;
    p->advection = nullptr;
    p->opacity = base->_opacity_ptr;
    if (!self->_params_bound) vq::raise_locked(PyExc_RuntimeError, kNotBound);
}

OneZoneClosureVTable hollin_table;  // the base table with _pack_params overridden

// ---------------------------------------------------------------------------
// Construction
// ---------------------------------------------------------------------------

PyTypeObject HollinType = {PyVarObject_HEAD_INIT(nullptr, 0)};

constexpr const char* kCinitParams[] = {"gas_pressure_only", "with_fallback", "mu"};
constexpr vq::Signature kCinit{"__cinit__", kCinitParams, 3, 0};

PyObject* hollin_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    vq::Ref self = vq::Ref::steal(closure_class.type->tp_new(type, args, kwargs));
    if (!self) return nullptr;
    FullPressureClosureObject* me = as_hollin(self.get());
    me->base.vtab = &hollin_table;
    me->_fallback_obj = Py_NewRef(Py_None);
    me->_fallback_ptr = nullptr;
    me->_mu = 0.6;
    me->_M_BH = me->_R_in = me->_alpha = std::numeric_limits<double>::quiet_NaN();
    me->_has_fallback = 0;
    me->_params_bound = 0;

    PyObject* a[3] = {};
    if (!vq::bind(kCinit, args, kwargs, a)) return nullptr;
    bool gas_pressure_only = false, with_fallback = false;
    double mu = 0.6;
    if ((a[0] && !vq::to_truth(a[0], &gas_pressure_only)) || (a[1] && !vq::to_truth(a[1], &with_fallback)) ||
        (a[2] && !vq::to_double(a[2], &mu)))
        return nullptr;

    vq::Ref package = vq::Ref::steal(PyImport_ImportModule("velquor.radiation.opacity"));
    if (!package) return nullptr;
    vq::Ref default_opacity_class = vq::Ref::steal(PyObject_GetAttrString(package.get(), "ElectronScatteringOpacity"));
    if (!default_opacity_class) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            vq::Ref name = vq::Ref::steal(PyUnicode_FromString("ElectronScatteringOpacity"));
            if (name) PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
        }
        return nullptr;
    }

    me->base._closure_fn = gas_pressure_only ? sedge_closure_func : hollin_closure_func;
    me->base._derivative_fn = viscous_derivative_func;
    me->base._writer_fn = standard_writer_func;
    me->base.n_result_fields = *n_result_fields;
    me->_fallback_ptr = nullptr;
    me->_mu = mu;
    me->_has_fallback = with_fallback ? 1 : 0;

    vq::Ref opacity = vq::Ref::steal(PyObject_CallNoArgs(default_opacity_class.get()));
    if (!opacity || PyObject_SetAttrString(self.get(), "opacity", opacity.get()) < 0) return nullptr;

    me->base._source_fn = with_fallback ? fallback_source_func : nullptr;
    return self.release();
}

// ---------------------------------------------------------------------------
// Garbage collection: one owned reference besides the base's
// ---------------------------------------------------------------------------

int hollin_traverse(PyObject* o, visitproc visit, void* arg) {
    if (int r = closure_class.type->tp_traverse(o, visit, arg)) return r;
    Py_VISIT(as_hollin(o)->_fallback_obj);
    return 0;
}

int hollin_clear(PyObject* o) {
    closure_class.type->tp_clear(o);
    FullPressureClosureObject* me = as_hollin(o);
    me->_fallback_ptr = nullptr;
    me->_params_bound = 0;  // the fallback record is gone
    PyObject* old = me->_fallback_obj;
    me->_fallback_obj = Py_NewRef(Py_None);
    Py_XDECREF(old);
    return 0;
}

void hollin_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    FullPressureClosureObject* me = as_hollin(o);
    me->_fallback_ptr = nullptr;
    Py_CLEAR(me->_fallback_obj);
    closure_class.type->tp_dealloc(o);
}

// ---------------------------------------------------------------------------
// bind_runtime_parameters
// ---------------------------------------------------------------------------

/// run_params[key] as a strong reference; KeyError(key) when absent.
vq::Ref lookup(PyObject* run_params, const char* key) {
    vq::Ref k = vq::Ref::steal(PyUnicode_FromString(key));
    if (!k) return {};
    vq::Ref v = vq::Ref::borrow(PyDict_GetItemWithError(run_params, k.get()));
    if (!v && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, k.get());
    return v;
}

bool lookup_double(PyObject* run_params, const char* key, double* out) {
    vq::Ref v = lookup(run_params, key);
    return v && vq::to_double(v.get(), out);
}

constexpr const char* kBindParams[] = {"run_params"};
constexpr vq::Signature kBind{"bind_runtime_parameters", kBindParams, 1, 1};

PyObject* bind_runtime_parameters(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* run_params = nullptr;
    if (!vq::bind(kBind, args, nargs, kwnames, &run_params)) return nullptr;
    if (!vq::require_exact_type(run_params, &PyDict_Type, "run_params", true)) return nullptr;
    if (run_params == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return nullptr;
    }
    FullPressureClosureObject* me = as_hollin(o);
    if (!vq::disk::require_idle(&me->base, "re-bind the runtime parameters")) return nullptr;

    // Each value is stored as soon as it is read; the closure counts as bound
    // only once every step below has succeeded.
    me->_params_bound = 0;
    double v;
    if (!lookup_double(run_params, "log_M_BH", &v)) return nullptr;
    me->_M_BH = std::exp(v);
    if (!lookup_double(run_params, "log_R_in", &v)) return nullptr;
    me->_R_in = std::exp(v);
    if (!lookup_double(run_params, "alpha", &v)) return nullptr;
    me->_alpha = v;

    if (!me->_has_fallback) {
        me->_fallback_ptr = nullptr;
        me->_params_bound = 1;
        Py_RETURN_NONE;
    }

    vq::Ref fb_args[4];
    const char* const log_keys[] = {"log_M_fb_0", "log_R_c", "log_t_fb"};
    for (int k = 0; k < 3; ++k) {
        if (!lookup_double(run_params, log_keys[k], &v)) return nullptr;
        fb_args[k] = vq::Ref::steal(PyFloat_FromDouble(std::exp(v)));
        if (!fb_args[k]) return nullptr;
    }
    fb_args[3] = lookup(run_params, "beta_fb");
    if (!fb_args[3]) return nullptr;

    // The record's address is taken before the old holder is released, so the
    // packed pointer never outlives the object it points into.
    vq::Ref holder_args = vq::Ref::steal(PyTuple_Pack(4, fb_args[0].get(), fb_args[1].get(), fb_args[2].get(),
                                                      fb_args[3].get()));
    FallbackParams* record = nullptr;
    vq::Ref holder = holder_args ? vq::disk::new_holder<CFallbackObject>(fallback_class, "CFallback",
                                                                         holder_args.get(), &record)
                                 : vq::Ref{};
    if (!holder) return nullptr;
    PyObject* old = me->_fallback_obj;
    me->_fallback_obj = holder.release();
    me->_fallback_ptr = record;
    me->_params_bound = 1;
    Py_XDECREF(old);
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Attributes (read-only)
// ---------------------------------------------------------------------------

PyObject* get_mu(PyObject* o, void*) { return PyFloat_FromDouble(as_hollin(o)->_mu); }
PyObject* get_M_BH(PyObject* o, void*) { return PyFloat_FromDouble(as_hollin(o)->_M_BH); }
PyObject* get_R_in(PyObject* o, void*) { return PyFloat_FromDouble(as_hollin(o)->_R_in); }
PyObject* get_alpha(PyObject* o, void*) { return PyFloat_FromDouble(as_hollin(o)->_alpha); }
PyObject* get_has_fallback(PyObject* o, void*) { return PyLong_FromLong(as_hollin(o)->_has_fallback); }
PyObject* get_fallback_obj(PyObject* o, void*) { return Py_NewRef(as_hollin(o)->_fallback_obj); }
PyObject* get_fallback_ptr(PyObject* o, void*) {
    FallbackParams* p = as_hollin(o)->_fallback_ptr;
    return p ? PyLong_FromVoidPtr(p) : Py_NewRef(Py_None);
}
PyObject* get_params_bound(PyObject* o, void*) { return PyBool_FromLong(as_hollin(o)->_params_bound); }

PyGetSetDef hollin_getset[] = {
    {"_mu", get_mu, nullptr, PyDoc_STR("Mean molecular weight [-], from the constructor."), nullptr},
    {"_M_BH", get_M_BH, nullptr, PyDoc_STR("Black-hole mass [g] (NaN until bound)."), nullptr},
    {"_R_in", get_R_in, nullptr, PyDoc_STR("Inner disk radius [cm] (NaN until bound)."), nullptr},
    {"_alpha", get_alpha, nullptr, PyDoc_STR("Viscosity parameter alpha [-] (NaN until bound)."), nullptr},
    {"_has_fallback", get_has_fallback, nullptr, PyDoc_STR("1 when the fallback source is installed, else 0."),
     nullptr},
    {"_fallback_obj", get_fallback_obj, nullptr, PyDoc_STR("The CFallback parameter holder, or None."), nullptr},
    {"_fallback_ptr", get_fallback_ptr, nullptr,
     PyDoc_STR("Address of the packed fallback record, or None when none is bound."), nullptr},
    {"_params_bound", get_params_bound, nullptr,
     PyDoc_STR("True once bind_runtime_parameters has completed (a failed bind resets it)."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef hollin_methods[] = {
    {"bind_runtime_parameters", vq::as_cfunction(bind_runtime_parameters), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("bind_runtime_parameters($self, /, run_params)\n--\n\n"
               "Store the run parameters (call before integrating; may be repeated).\n\n"
               "Parameters\n----------\n"
               "run_params : dict\n"
               "    Natural logarithms of CGS values: ``log_M_BH`` (black-hole mass [g]),\n"
               "    ``log_R_in`` (inner radius [cm]); ``alpha`` (viscosity parameter, linear).\n"
               "    With fallback also ``log_M_fb_0`` (fallback rate at t_fb [g s^-1]), ``log_R_c``\n"
               "    (circularisation radius [cm]), ``log_t_fb`` (fallback time [s]) and ``beta_fb``\n"
               "    (power-law index, linear).  Other keys are ignored.\n\n"
               "Raises\n------\nKeyError\n    A required key is missing (earlier values stay stored).\n"
               "TypeError\n    run_params is not a dict.\n"
               "RuntimeError\n    A run is using this closure.\n\n"
               "Until a call has completed, integrating with this closure raises RuntimeError.")},
    {"__reduce__", vq::as_cfunction(vq::refuse_reduce), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("__reduce__($self, /)\n--\n\nRefused: construction takes arguments at allocation.")},
    {"__setstate__", vq::as_cfunction(vq::refuse_setstate), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("__setstate__($self, state)\n--\n\nRefused: construction takes arguments at allocation.")},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kHollinDoc =
    "FullPressureClosure(gas_pressure_only=False, with_fallback=False, mu=0.6)\n--\n\n"
    "Closure of the one-zone disk model.\n\n"
    "Parameters\n----------\n"
    "gas_pressure_only : bool, optional\n"
    "    Solve the thermal balance with gas pressure only (c_s^2 = k_B T / (mu m_p));\n"
    "    by default gas plus radiation pressure.\n"
    "with_fallback : bool, optional\n"
    "    Feed the disk with the power-law fallback of tidal debris.\n"
    "mu : float, optional\n"
    "    Mean molecular weight [-].\n\n"
    "Notes\n-----\n"
    "The thermal closure solves sigma_SB T_c^4 = (27/32) alpha kappa Omega Sigma^2 c_s^2 for the\n"
    "central temperature T_c [K].  ``opacity`` starts as an ElectronScatteringOpacity and may\n"
    "be replaced by any grey opacity.  Call bind_runtime_parameters before integrating;\n"
    "neither may be changed while a run uses the closure.  The gas-plus-radiation model has\n"
    "no thin-disk equilibrium above a maximum surface density (the onset of the radiation-\n"
    "pressure instability): the run then fails with the EXPAND_FAIL RuntimeError.\n"
    "Instances cannot be pickled.";

bool ready_type() {
    return vq::disk::ready_closure_class(
        &HollinType, &hollin_table, closure_class,
        {"velquor.dynamics.accretion.one_zone.models._hollin.FullPressureClosure", sizeof(FullPressureClosureObject),
         kHollinDoc, hollin_new, hollin_pack_params, hollin_dealloc, hollin_traverse, hollin_clear, hollin_methods,
         hollin_getset});
}

// ---------------------------------------------------------------------------
// Module
// ---------------------------------------------------------------------------

bool bind_dependencies() {
    namespace d = vq::disk;
    if (!d::bind_closure_base(&closure_class)) return false;
    if (!vq::opacity::bind_bases(&opacity_bases)) return false;
    if (!vq::bind_class(d::kParcelwrapModule, "CFallback", sizeof(CFallbackObject), d::kFallbackTableTag,
                        &fallback_class) ||
        !vq::bind_class(d::kParcelwrapModule, "CAdvection", sizeof(CAdvectionObject), d::kAdvectionTableTag,
                        &advection_class))
        return false;
    n_result_fields = static_cast<const int32_t*>(vq::import_pointer(d::kWriterModule, "N_RESULT_FIELDS", d::kIntTag));
    return n_result_fields &&
           vq::import_function(d::kWriterModule, "standard_writer_func", d::kWriterFuncTag, &standard_writer_func) &&
           thermal::InterpreterHost::bind() &&
           // Bound as documented; the solve runs the same equation of state inline.
           vq::import_pointer(d::kStavemarkModule, "compute_gas_rad_cs", d::kSoundSpeedTag) &&
           vq::import_function(d::kViscousModule, "viscous_derivative_func", d::kDerivativeFuncTag,
                               &viscous_derivative_func) &&
           vq::import_function(d::kFallbackModule, "fallback_source_func", d::kSourceFuncTag,
                               &fallback_source_func) &&
           vq::import_function(d::kSedgeModule, "sedge_closure_func", d::kClosureFuncTag, &sedge_closure_func);
}

bool setup(PyObject* module) noexcept {
    if (!bind_dependencies() || !ready_type()) return false;
    PyObject* cls = reinterpret_cast<PyObject*>(&HollinType);
    return vq::add_object(module, "FullPressureClosure", Py_NewRef(cls)) &&
           vq::add_object(module, "hollinClosure", Py_NewRef(cls)) &&
           vq::export_function(module, "hollin_closure_func", hollin_closure_func, vq::disk::kClosureFuncTag);
}

}  // namespace

VQ_DEFINE_MODULE(_hollin, kModuleName, kModuleDoc, nullptr, setup)
