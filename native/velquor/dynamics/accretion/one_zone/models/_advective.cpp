// velquor.dynamics.accretion.one_zone.models._advective: the advective closure and its branch-tracking thermal solve.
//
// AdvectiveClosure: a FullPressureClosure (its subclass: the same run
// parameters, fallback holder, opacity, run pinning, pickling refusal and
// garbage collection, inherited) whose thermal balance adds advective cooling,
// Q+ = Q_rad + Q_adv, on the stable root of the disk's branch of the S-curve
// (velquor/core/thermal.hpp: AdvectiveDisk), and whose writer appends the
// radiated fraction and the branch to the standard rows.  It owns a CAdvection
// holder whose record (xi) it packs as the run's advection parameters.
#include "velquor/bind/capi.hpp"
#include "velquor/bind/disk.hpp"
#include "velquor/bind/opacity.hpp"
#include "velquor/bind/thermal.hpp"

#include <cmath>

namespace {

namespace thermal = vq::thermal;

constexpr const char* kModuleName = "velquor.dynamics.accretion.one_zone.models._advective";
constexpr const char* kModuleDoc =
    "Advective closure of the one-zone disk model.\n\n"
    "AdvectiveClosure adds advective cooling to the gas-plus-radiation balance, so that a disk\n"
    "heavier than the thin disk's maximum surface density moves to the advective branch instead\n"
    "of failing.  advective_closure_func, its thermal solve, is exported natively.";

// Bound at import.
vq::BoundClass closure_class;
vq::opacity::Bases opacity_bases;
vq::BoundClass full_class;       // FullPressureClosure, the base class
vq::BoundClass advection_class;  // CAdvection
const int32_t* n_extended_fields = nullptr;
writer_func extended_writer_func = nullptr;

// ---------------------------------------------------------------------------
// The thermal closure
// ---------------------------------------------------------------------------

struct AdvectiveModel : thermal::AdvectiveDisk {
    static constexpr const char* kResidualName =
        "velquor.dynamics.accretion.one_zone.models._advective.advective_residual";
    static constexpr const char* kClosureName =
        "velquor.dynamics.accretion.one_zone.models._advective.advective_closure_func";
};

constexpr closure_func advective_closure_func = &thermal::closure<AdvectiveModel, thermal::InterpreterHost>;

// ---------------------------------------------------------------------------
// Native operations
// ---------------------------------------------------------------------------

AdvectiveClosureObject* as_advective(PyObject* o) noexcept { return reinterpret_cast<AdvectiveClosureObject*>(o); }

/// The full-pressure closure's packing (which refuses an unbound closure), then
/// the advection record.  May run without the lock.
void advective_pack_params(OneZoneClosureObject* base, DiskParameters* p) noexcept {
    static_cast<const OneZoneClosureVTable*>(full_class.table)->_pack_params(base, p);
    p->advection = reinterpret_cast<AdvectiveClosureObject*>(base)->_advection_ptr;
}

OneZoneClosureVTable advective_table;  // FullPressureClosure's table with _pack_params overridden

// ---------------------------------------------------------------------------
// Construction: the base class builds a gas-plus-radiation closure, then the
// thermal closure, writer and advection record are this class's.
// ---------------------------------------------------------------------------

PyTypeObject AdvectiveType = {PyVarObject_HEAD_INIT(nullptr, 0)};

constexpr const char* kCinitParams[] = {"with_fallback", "mu", "xi"};
constexpr vq::Signature kCinit{"__cinit__", kCinitParams, 3, 0};

PyObject* advective_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* a[3] = {};
    if (!vq::bind(kCinit, args, kwargs, a)) return nullptr;
    double xi = 1.0;
    if (a[2] && !vq::to_double(a[2], &xi)) return nullptr;
    if (!(std::isfinite(xi) && xi >= 0.0)) {
        vq::Ref text = vq::str_double(xi);
        if (text) PyErr_Format(PyExc_ValueError, "xi must be finite and >= 0, got %U", text.get());
        return nullptr;
    }

    // The base class converts with_fallback and mu as given (mu defaults there).
    PyObject* with_fallback = a[0] ? a[0] : Py_False;
    vq::Ref base_args = vq::Ref::steal(a[1] ? PyTuple_Pack(3, Py_False, with_fallback, a[1])
                                            : PyTuple_Pack(2, Py_False, with_fallback));
    if (!base_args) return nullptr;
    vq::Ref self = vq::Ref::steal(full_class.type->tp_new(type, base_args.get(), nullptr));
    if (!self) return nullptr;
    AdvectiveClosureObject* me = as_advective(self.get());
    me->full.base.vtab = &advective_table;
    me->full.base._closure_fn = advective_closure_func;
    me->full.base._writer_fn = extended_writer_func;
    me->full.base.n_result_fields = *n_extended_fields;
    me->_xi = xi;

    vq::Ref holder_args = vq::Ref::steal(Py_BuildValue("(d)", xi));
    AdvectionParams* record = nullptr;
    vq::Ref holder = holder_args ? vq::disk::new_holder<CAdvectionObject>(advection_class, "CAdvection",
                                                                          holder_args.get(), &record)
                                 : vq::Ref{};
    if (!holder) return nullptr;
    me->_advection_obj = holder.release();
    me->_advection_ptr = record;
    return self.release();
}

// ---------------------------------------------------------------------------
// Garbage collection: the advection holder besides what the base class owns
// ---------------------------------------------------------------------------

int advective_traverse(PyObject* o, visitproc visit, void* arg) {
    if (int r = full_class.type->tp_traverse(o, visit, arg)) return r;
    Py_VISIT(as_advective(o)->_advection_obj);
    return 0;
}

int advective_clear(PyObject* o) {
    full_class.type->tp_clear(o);
    AdvectiveClosureObject* me = as_advective(o);
    me->_advection_ptr = nullptr;  // the record goes with its holder: a solve then raises, never reads freed memory
    Py_CLEAR(me->_advection_obj);
    return 0;
}

void advective_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    AdvectiveClosureObject* me = as_advective(o);
    me->_advection_ptr = nullptr;
    Py_CLEAR(me->_advection_obj);
    full_class.type->tp_dealloc(o);
}

// ---------------------------------------------------------------------------
// Attributes (read-only)
// ---------------------------------------------------------------------------

PyObject* get_xi(PyObject* o, void*) { return PyFloat_FromDouble(as_advective(o)->_xi); }
PyObject* get_advection_obj(PyObject* o, void*) {
    PyObject* holder = as_advective(o)->_advection_obj;
    return Py_NewRef(holder ? holder : Py_None);
}
PyObject* get_advection_ptr(PyObject* o, void*) {
    AdvectionParams* p = as_advective(o)->_advection_ptr;
    return p ? PyLong_FromVoidPtr(p) : Py_NewRef(Py_None);
}

PyGetSetDef advective_getset[] = {
    {"_xi", get_xi, nullptr, PyDoc_STR("Advection parameter xi [-], from the constructor."), nullptr},
    {"_advection_obj", get_advection_obj, nullptr, PyDoc_STR("The CAdvection holder of the advection record."),
     nullptr},
    {"_advection_ptr", get_advection_ptr, nullptr, PyDoc_STR("Address of the packed advection record, or None."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kAdvectiveDoc =
    "AdvectiveClosure(with_fallback=False, mu=0.6, xi=1.0)\n--\n\n"
    "Closure of the one-zone disk model with radiative and advective cooling.\n\n"
    "Parameters\n----------\n"
    "with_fallback : bool, optional\n"
    "    Feed the disk with the power-law fallback of tidal debris.\n"
    "mu : float, optional\n"
    "    Mean molecular weight [-].\n"
    "xi : float, optional\n"
    "    Advection parameter [-], finite and >= 0: the advective cooling rate per unit area is\n"
    "    Q_adv = xi Mdot_acc c_s^2 / (2 pi R^2) with Mdot_acc = B pi nu Sigma.  xi = 0 is the\n"
    "    gas-plus-radiation closure.\n\n"
    "Raises\n------\nValueError\n    xi is negative or not finite.\n\n"
    "Notes\n-----\n"
    "The viscous heating Q+ = (9/8) nu Sigma Omega^2 is radiated, Q_rad = Q+ exp(-f) with f the\n"
    "residual of the gas-plus-radiation balance, and advected, Q_adv = A Q+ with\n"
    "A = (4 xi B / 9) (c_s / (Omega R))^2; the central temperature T_c [K] solves\n"
    "-ln(exp(-f) + A) = 0.  At fixed surface density that balance has one or three roots (the\n"
    "S-curve).  The solve takes a thermally stable root only, on the branch the disk was on at\n"
    "the previous step while that branch exists, and the remaining one when it ends: a disk\n"
    "heavier than the thin branch's maximum surface density moves to the advective branch\n"
    "(H/R -> sqrt(9 / (4 xi B)) as Sigma grows) and returns to the thin branch below the\n"
    "advective branch's minimum.  Results have 22 rows: the standard 20, then ``f_rad``, the\n"
    "radiated fraction Q_rad / Q+, and ``branch`` (0 thin, 1 advective).\n\n"
    "A subclass of FullPressureClosure: the same opacity attribute, bind_runtime_parameters keys\n"
    "and messages, run pinning and pickling refusal.";

bool ready_type() {
    return vq::disk::ready_closure_class(
        &AdvectiveType, &advective_table, full_class,
        {"velquor.dynamics.accretion.one_zone.models._advective.AdvectiveClosure", sizeof(AdvectiveClosureObject),
         kAdvectiveDoc, advective_new, advective_pack_params, advective_dealloc, advective_traverse, advective_clear,
         nullptr, advective_getset});
}

// ---------------------------------------------------------------------------
// Module
// ---------------------------------------------------------------------------

bool bind_dependencies() {
    namespace d = vq::disk;
    if (!d::bind_closure_base(&closure_class) || !vq::opacity::bind_bases(&opacity_bases)) return false;
    if (!vq::bind_class(d::kHollinModule, "FullPressureClosure", sizeof(FullPressureClosureObject),
                        d::kClosureTableTag, &full_class) ||
        !vq::bind_class(d::kParcelwrapModule, "CAdvection", sizeof(CAdvectionObject), d::kAdvectionTableTag,
                        &advection_class))
        return false;
    n_extended_fields =
        static_cast<const int32_t*>(vq::import_pointer(d::kWriterModule, "N_EXTENDED_RESULT_FIELDS", d::kIntTag));
    return n_extended_fields &&
           vq::import_function(d::kWriterModule, "extended_writer_func", d::kWriterFuncTag, &extended_writer_func) &&
           thermal::InterpreterHost::bind();
}

bool setup(PyObject* module) noexcept {
    if (!bind_dependencies() || !ready_type()) return false;
    return vq::add_object(module, "AdvectiveClosure", Py_NewRef(reinterpret_cast<PyObject*>(&AdvectiveType))) &&
           vq::export_function(module, "advective_closure_func", advective_closure_func, vq::disk::kClosureFuncTag);
}

}  // namespace

VQ_DEFINE_MODULE(_advective, kModuleName, kModuleDoc, nullptr, setup)
