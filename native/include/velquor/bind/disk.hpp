// Binding of the disk model: the closure and holder objects, their tags and their modules.
//
// The objects of the one-zone disk model as the interpreter holds them: the
// closure base class, the parameter holders, FullPressureClosure and its
// subclass AdvectiveClosure, with their method tables, the signature texts of
// the native exports and where each piece lives.  The records they pass are velquor/core/records.hpp.
//
// The layouts cross module boundaries as raw memory, so their field order and
// widths are fixed (checked below for both x86_64 and i386).
#pragma once

#include "velquor/bind/capi.hpp"
#include "velquor/core/constants.hpp"
#include "velquor/core/records.hpp"

#include <cstddef>
#include <cstdint>

namespace vq::disk {

// Signature texts of the native exports (capsule tags).
inline constexpr const char* kClosureFuncTag =
    "int (DiskState const *, DiskDerived const *, DiskParameters const *, ClosureResult const *, ClosureResult *)";
inline constexpr const char* kDerivativeFuncTag =
    "int (DiskState const *, DiskDerived const *, DiskParameters const *, ClosureResult const *, DiskStep *)";
inline constexpr const char* kSourceFuncTag = kDerivativeFuncTag;
inline constexpr const char* kWriterFuncTag =
    "int (int const, DiskState const *, DiskDerived const *, DiskParameters const *, ClosureResult const *, "
    "DiskStep const *, double *, int)";
inline constexpr const char* kDoubleTag = "double";
inline constexpr const char* kIntTag = "int";
/// compute_gas_rad_cs(T, mu, Sigma, Omega) -> c_s
inline constexpr const char* kSoundSpeedTag = "double (double, double, double, double)";
typedef double (*sound_speed_func)(double T, double mu, double Sigma, double Omega);

// Where the shared pieces live.
inline constexpr const char* kClosureModule = "velquor.dynamics.accretion.one_zone.closure";
inline constexpr const char* kWriterModule = "velquor.dynamics.accretion.one_zone._writer";
inline constexpr const char* kFallbackModule = "velquor.dynamics.accretion.one_zone.physics._fallback";
inline constexpr const char* kStavemarkModule = "velquor.dynamics.accretion.one_zone.physics._stavemark";
inline constexpr const char* kViscousModule = "velquor.dynamics.accretion.one_zone.physics._viscous";
inline constexpr const char* kParcelwrapModule = "velquor.dynamics.accretion.one_zone.physics._parcelwrap";
inline constexpr const char* kHollinModule = "velquor.dynamics.accretion.one_zone.models._hollin";
inline constexpr const char* kSedgeModule = "velquor.dynamics.accretion.one_zone.models._sedge";
inline constexpr const char* kAdvectiveModule = "velquor.dynamics.accretion.one_zone.models._advective";

}  // namespace vq::disk

// ---------------------------------------------------------------------------
// Closure base class OneZoneClosure (module ...one_zone.closure)
// ---------------------------------------------------------------------------

struct OneZoneClosureObject;

/// Native method table of OneZoneClosure; subclass tables start with it.
struct OneZoneClosureVTable {
    /// True (1) when the closure, derivative and writer slots are set.
    int32_t (*is_ready)(OneZoneClosureObject* self);
    /// Fill every DiskParameters field except epsilon.  May run without the lock;
    /// the caller tests for a pending exception afterwards.
    void (*_pack_params)(OneZoneClosureObject* self, DiskParameters* p);
};

struct OneZoneClosureObject {
    PyObject_HEAD
    const OneZoneClosureVTable* vtab;
    closure_func _closure_fn;
    derivative_func _derivative_fn;
    writer_func _writer_fn;
    source_func _source_fn;     ///< optional
    PyObject* _c_opacity;       ///< the opacity as a C_GreyMurkwell, or None
    PyObject* _opacity_obj;     ///< the opacity as assigned, or None
    void* _opacity_ptr;         ///< native opacity object, or null
    int32_t n_result_fields;    ///< rows written by the installed writer
    /// Runs currently integrating with pointers borrowed from this closure.  Only
    /// touched with the interpreter lock held; while non-zero the closure refuses
    /// to replace anything those pointers lead to.
    int32_t _runs_in_progress;
};

namespace vq::disk {
inline constexpr const char* kClosureTableTag = "OneZoneClosureVTable";

/// RuntimeError unless no run is using the closure (lock held).
inline bool require_idle(const OneZoneClosureObject* self, const char* what) noexcept {
    if (self->_runs_in_progress == 0) return true;
    PyErr_Format(PyExc_RuntimeError,
                 "cannot %s while a run is using this closure (%d run(s) in progress in other threads)", what,
                 static_cast<int>(self->_runs_in_progress));
    return false;
}
}  // namespace vq::disk

// ---------------------------------------------------------------------------
// Layout checks: every module is built against these exact layouts.
// ---------------------------------------------------------------------------
#if defined(__x86_64__)
static_assert(offsetof(OneZoneClosureObject, vtab) == 16 && offsetof(OneZoneClosureObject, _closure_fn) == 24);
static_assert(offsetof(OneZoneClosureObject, _c_opacity) == 56 && offsetof(OneZoneClosureObject, _opacity_ptr) == 72);
static_assert(offsetof(OneZoneClosureObject, n_result_fields) == 80 && sizeof(OneZoneClosureObject) == 88);
#elif defined(__i386__)
static_assert(offsetof(OneZoneClosureObject, vtab) == 8 && offsetof(OneZoneClosureObject, _closure_fn) == 12);
static_assert(offsetof(OneZoneClosureObject, _c_opacity) == 28 && offsetof(OneZoneClosureObject, _opacity_ptr) == 36);
static_assert(offsetof(OneZoneClosureObject, n_result_fields) == 40 && sizeof(OneZoneClosureObject) == 48);
#endif

// ---------------------------------------------------------------------------
// Parameter holders CFallback and CAdvection (module ...one_zone.physics._parcelwrap)
//
// Each object owns one parameter record at a fixed address for its lifetime;
// its `ptr` operation hands that address to closures, which pack it into
// DiskParameters as a borrowed pointer.
// ---------------------------------------------------------------------------

struct CFallbackObject;
struct CAdvectionObject;

/// Native method table of CFallback; subclass tables start with it.
struct CFallbackVTable {
    /// Address of the object's own FallbackParams record (never null, lock-free).
    FallbackParams* (*ptr)(CFallbackObject* self);
};

/// Native method table of CAdvection; subclass tables start with it.
struct CAdvectionVTable {
    /// Address of the object's own AdvectionParams record (never null, lock-free).
    AdvectionParams* (*ptr)(CAdvectionObject* self);
};

struct CFallbackObject {
    PyObject_HEAD
    const CFallbackVTable* vtab;
    FallbackParams params;  ///< M_fb_0 [g s^-1], R_c [cm], t_fb [s], beta_fb [-]
};

struct CAdvectionObject {
    PyObject_HEAD
    const CAdvectionVTable* vtab;
    AdvectionParams params;  ///< xi [-]
};

namespace vq::disk {
inline constexpr const char* kFallbackTableTag = "CFallbackVTable";
inline constexpr const char* kAdvectionTableTag = "CAdvectionVTable";

/// A new parameter holder: the bound holder class `cls` (named `name`) called
/// with the tuple `args`, and in *record the address of its record (its
/// native `ptr`, taken before anything else can release it).  Null with an
/// exception set on failure, TypeError when the call made something else.
template <class Object, class Record>
inline vq::Ref new_holder(const vq::BoundClass& cls, const char* name, PyObject* args, Record** record) noexcept {
    vq::Ref holder = vq::Ref::steal(PyObject_Call(reinterpret_cast<PyObject*>(cls.type), args, nullptr));
    if (!holder) return {};
    if (!PyObject_TypeCheck(holder.get(), cls.type)) {
        PyErr_Format(PyExc_TypeError, "%s() did not return a %s instance", name, name);
        return {};
    }
    auto* object = reinterpret_cast<Object*>(holder.get());
    *record = object->vtab->ptr(object);
    if (PyErr_Occurred()) return {};
    return holder;
}
}  // namespace vq::disk

// ---------------------------------------------------------------------------
// FullPressureClosure (module ...one_zone.models._hollin): the closure base
// first, then its own fields.  Its method table is a OneZoneClosureVTable.
// ---------------------------------------------------------------------------

struct FullPressureClosureObject {
    OneZoneClosureObject base;
    double _mu;                    ///< [-] mean molecular weight, from the constructor
    double _M_BH;                  ///< [g] black-hole mass (NaN until bound)
    double _R_in;                  ///< [cm] inner disk radius (NaN until bound)
    double _alpha;                 ///< [-] viscosity parameter (NaN until bound)
    int32_t _has_fallback;         ///< 1 when the fallback source is installed
    PyObject* _fallback_obj;       ///< owned CFallback holding the fallback record, or None
    FallbackParams* _fallback_ptr; ///< into _fallback_obj's record; null when none is bound
    /// 1 once bind_runtime_parameters has completed; a failed bind resets it.
    /// _pack_params refuses an unbound closure.
    int32_t _params_bound;
};

static_assert(offsetof(FullPressureClosureObject, base) == 0);
#if defined(__x86_64__)
static_assert(offsetof(CFallbackObject, vtab) == 16 && offsetof(CFallbackObject, params) == 24 &&
              sizeof(CFallbackObject) == 56);
static_assert(offsetof(CAdvectionObject, vtab) == 16 && offsetof(CAdvectionObject, params) == 24 &&
              sizeof(CAdvectionObject) == 32);
static_assert(offsetof(FullPressureClosureObject, _mu) == 88 && offsetof(FullPressureClosureObject, _alpha) == 112);
static_assert(offsetof(FullPressureClosureObject, _has_fallback) == 120 &&
              offsetof(FullPressureClosureObject, _fallback_obj) == 128 &&
              offsetof(FullPressureClosureObject, _fallback_ptr) == 136 &&
              offsetof(FullPressureClosureObject, _params_bound) == 144);
static_assert(sizeof(FullPressureClosureObject) == 152);
#elif defined(__i386__)
static_assert(offsetof(CFallbackObject, vtab) == 8 && offsetof(CFallbackObject, params) == 12 &&
              sizeof(CFallbackObject) == 44);
static_assert(offsetof(CAdvectionObject, vtab) == 8 && offsetof(CAdvectionObject, params) == 12 &&
              sizeof(CAdvectionObject) == 20);
static_assert(offsetof(FullPressureClosureObject, _mu) == 48 && offsetof(FullPressureClosureObject, _alpha) == 72);
static_assert(offsetof(FullPressureClosureObject, _has_fallback) == 80 &&
              offsetof(FullPressureClosureObject, _fallback_obj) == 84 &&
              offsetof(FullPressureClosureObject, _fallback_ptr) == 88 &&
              offsetof(FullPressureClosureObject, _params_bound) == 92);
static_assert(sizeof(FullPressureClosureObject) == 96);
#endif
static_assert(sizeof(CFallbackVTable) == sizeof(void*) && sizeof(CAdvectionVTable) == sizeof(void*));

// ---------------------------------------------------------------------------
// AdvectiveClosure (module ...one_zone.models._advective): a FullPressureClosure
// first (it is a subclass), then the advection parameters it packs.  Its
// method table is a OneZoneClosureVTable.
// ---------------------------------------------------------------------------

struct AdvectiveClosureObject {
    FullPressureClosureObject full;
    double _xi;                        ///< [-] advection parameter, from the constructor
    PyObject* _advection_obj;          ///< owned CAdvection holding the advection record
    AdvectionParams* _advection_ptr;   ///< into _advection_obj's record; null once it is cleared
};

static_assert(offsetof(AdvectiveClosureObject, full) == 0);
#if defined(__x86_64__)
static_assert(offsetof(AdvectiveClosureObject, _xi) == 152 && offsetof(AdvectiveClosureObject, _advection_obj) == 160 &&
              offsetof(AdvectiveClosureObject, _advection_ptr) == 168 && sizeof(AdvectiveClosureObject) == 176);
#elif defined(__i386__)
static_assert(offsetof(AdvectiveClosureObject, _xi) == 96 && offsetof(AdvectiveClosureObject, _advection_obj) == 104 &&
              offsetof(AdvectiveClosureObject, _advection_ptr) == 108 && sizeof(AdvectiveClosureObject) == 112);
#endif

// ---------------------------------------------------------------------------
// Binding the closure base at import, and readying a closure class
// ---------------------------------------------------------------------------
namespace vq::disk {

/// What a closure class defines: its type slots (null: inherited) and the
/// _pack_params of its method table.
struct ClosureClass {
    const char* name;  ///< the qualified class name
    Py_ssize_t basicsize;
    const char* doc;
    newfunc tp_new;
    void (*pack_params)(OneZoneClosureObject* self, DiskParameters* p);
    destructor dealloc = nullptr;
    traverseproc traverse = nullptr;  ///< set by a class that owns references: it is then collected itself
    inquiry clear = nullptr;
    PyMethodDef* methods = nullptr;
    PyGetSetDef* getset = nullptr;
};

/// Ready `type` as a subclass of the bound closure class `base` with the type
/// slots in `slots`, and publish `table`, the base's method table with its
/// _pack_params (lock held, at import).
inline bool ready_closure_class(PyTypeObject* type, OneZoneClosureVTable* table, const vq::BoundClass& base,
                                const ClosureClass& slots) noexcept {
    *table = *static_cast<const OneZoneClosureVTable*>(base.table);
    table->_pack_params = slots.pack_params;
    if (!(type->tp_flags & Py_TPFLAGS_READY)) {
        type->tp_name = slots.name;
        type->tp_basicsize = slots.basicsize;
        type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | (slots.traverse ? Py_TPFLAGS_HAVE_GC : 0);
        type->tp_doc = slots.doc;
        type->tp_base = base.type;
        type->tp_new = slots.tp_new;
        type->tp_dealloc = slots.dealloc;
        type->tp_traverse = slots.traverse;
        type->tp_clear = slots.clear;
        type->tp_methods = slots.methods;
        type->tp_getset = slots.getset;
        if (PyType_Ready(type) < 0) return false;
    }
    return vq::publish_method_table(type, table, kClosureTableTag);
}

/// Bind OneZoneClosure with its method table and check that all twenty constants
/// are exported with the "double" signature (lock held, at import).
inline bool bind_closure_base(vq::BoundClass* out) noexcept {
    if (!vq::bind_class(kClosureModule, "OneZoneClosure", sizeof(OneZoneClosureObject), kClosureTableTag, out))
        return false;
    for (const vq::constants::Named& c : vq::constants::kExported)
        if (!vq::import_pointer(kClosureModule, c.name, kDoubleTag)) return false;
    return true;
}

}  // namespace vq::disk
