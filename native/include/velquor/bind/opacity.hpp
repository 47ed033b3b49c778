// Binding of the opacity classes: object layouts and the base classes.
//
// Opacity classes as the interpreter holds them: the object layouts of the grey
// (C_GreyMurkwell) and frequency-dependent (C_Murkwell) base classes of module
// velquor.radiation.opacity.murkwell, of the Kramers law and of the table
// opacities, and the binding of the base classes.  The method tables and the
// error protocol of the operations are velquor/core/opacity.hpp.
#pragma once

#include "velquor/bind/capi.hpp"
#include "velquor/core/opacity.hpp"
#include "velquor/core/table.hpp"

#include <cstddef>
#include <cstdint>

/// Instance layout of C_GreyMurkwell: header and table pointer, nothing else.
struct GreyOpacityObject {
    PyObject_HEAD
    const GreyOpacityVTable* vtab;
};

/// Instance layout of C_Murkwell.
struct OpacityObject {
    PyObject_HEAD
    const OpacityVTable* vtab;
};

#if defined(__x86_64__)
static_assert(sizeof(GreyOpacityObject) == 24 && offsetof(GreyOpacityObject, vtab) == 16);
static_assert(sizeof(OpacityObject) == 24);
#elif defined(__i386__)
static_assert(sizeof(GreyOpacityObject) == 12 && offsetof(GreyOpacityObject, vtab) == 8);
static_assert(sizeof(OpacityObject) == 12);
#endif
// The cores find an object's table where the layouts put it.
static_assert(offsetof(GreyOpacityObject, vtab) == vq::opacity::kTableOffset &&
              offsetof(OpacityObject, vtab) == vq::opacity::kTableOffset);

namespace vq::opacity {

inline constexpr const char* kModule = "velquor.radiation.opacity.murkwell";
inline constexpr const char* kGreyTableTag = "GreyOpacityVTable";
inline constexpr const char* kTableTag = "OpacityVTable";

/// The two base classes as bound from murkwell by a module that derives from
/// them or calls them.
struct Bases {
    vq::BoundClass grey;  ///< C_GreyMurkwell
    vq::BoundClass freq;  ///< C_Murkwell
    const GreyOpacityVTable* grey_table() const noexcept {
        return static_cast<const GreyOpacityVTable*>(grey.table);
    }
    const OpacityVTable* freq_table() const noexcept { return static_cast<const OpacityVTable*>(freq.table); }
};

/// Bind both base classes (import murkwell, check layout and tables).
inline bool bind_bases(Bases* out) noexcept {
    return vq::bind_class(kModule, "C_GreyMurkwell", sizeof(GreyOpacityObject), kGreyTableTag, &out->grey) &&
           vq::bind_class(kModule, "C_Murkwell", sizeof(OpacityObject), kTableTag, &out->freq);
}

/// The pickling refusals (vq::refuse_reduce, vq::refuse_setstate) as
/// method-table entries, with `why` as their docstring body.
#define VQ_OPACITY_REFUSE_PICKLING(why)                                                             \
    {"__reduce__", ::vq::as_cfunction(&::vq::refuse_reduce), METH_FASTCALL | METH_KEYWORDS,            \
     PyDoc_STR("__reduce__($self, /)\n--\n\nRefused: " why)},                                          \
    {"__setstate__", ::vq::as_cfunction(&::vq::refuse_setstate), METH_FASTCALL | METH_KEYWORDS,        \
     PyDoc_STR("__setstate__($self, state)\n--\n\nRefused: " why)}

}  // namespace vq::opacity

// ---------------------------------------------------------------------------
// Table opacities: C_QuenbyOpacity (axis 2 = log10 R) and C_WrenfoldOpacity
// (axis 2 = log10 rho) of modules ..._quenby and ..._wrenfold.  Both classes
// derive from C_GreyMurkwell and share this layout and this method table.
// ---------------------------------------------------------------------------

/// Instance layout of the table opacities.  The three views refer to the
/// caller's arrays (nothing is copied) and keep them alive.
struct TableOpacityObject {
    GreyOpacityObject base;  ///< header; base.vtab points at a TableOpacityVTable
    vq::F64View _g1;         ///< [log10 K] grid of axis 1 (log10 T), length _n1, non-decreasing
    vq::F64View _g2;         ///< grid of axis 2 (log10 R, or log10 rho [g cm^-3]), length _n2, non-decreasing
    vq::F64View _lk;         ///< [log10 cm^2 g^-1] log10 kappa, (_n1, _n2) row-major; NaN = missing entry
    int32_t _n1;             ///< number of points of axis 1
    int32_t _n2;             ///< number of points of axis 2
    int32_t _oob;            ///< out-of-bounds mode (vq::table::OutOfBounds; others behave as raise)
    double _LN10;            ///< ln 10
    vq::table::AxisIndex _index1;  ///< O(1) cell search over _g1, built at construction
    vq::table::AxisIndex _index2;  ///< O(1) cell search over _g2, built at construction
    int32_t* _buckets;             ///< storage of both indexes (PyMem), or null
};

#if defined(__x86_64__)
static_assert(sizeof(vq::F64View) == 88);
static_assert(offsetof(TableOpacityObject, _g1) == 24 && offsetof(TableOpacityObject, _g2) == 112 &&
              offsetof(TableOpacityObject, _lk) == 200);
static_assert(offsetof(TableOpacityObject, _n1) == 288 && offsetof(TableOpacityObject, _n2) == 292 &&
              offsetof(TableOpacityObject, _oob) == 296 && offsetof(TableOpacityObject, _LN10) == 304);
static_assert(sizeof(vq::table::AxisIndex) == 32 && offsetof(TableOpacityObject, _index1) == 312 &&
              offsetof(TableOpacityObject, _buckets) == 376 && sizeof(TableOpacityObject) == 384);
#elif defined(__i386__)
static_assert(sizeof(vq::F64View) == 48);
static_assert(offsetof(TableOpacityObject, _g1) == 12 && offsetof(TableOpacityObject, _g2) == 60 &&
              offsetof(TableOpacityObject, _lk) == 108);
static_assert(offsetof(TableOpacityObject, _n1) == 156 && offsetof(TableOpacityObject, _n2) == 160 &&
              offsetof(TableOpacityObject, _oob) == 164 && offsetof(TableOpacityObject, _LN10) == 168);
static_assert(sizeof(vq::table::AxisIndex) == 24 && offsetof(TableOpacityObject, _index1) == 176 &&
              offsetof(TableOpacityObject, _buckets) == 224 && sizeof(TableOpacityObject) == 228);
#endif
static_assert(offsetof(TableOpacityObject, base) == 0);

namespace vq::opacity {

inline constexpr const char* kTableOpacityTag = "TableOpacityVTable";

/// The method table of a table opacity object.
inline const TableOpacityVTable* table_vtab(const TableOpacityObject* o) noexcept {
    return reinterpret_cast<const TableOpacityVTable*>(o->base.vtab);
}

/// The object's table as the engine reads it.
inline vq::table::TableData table_data(const TableOpacityObject* o) noexcept {
    return {o->_g1.data(), o->_g2.data(), o->_lk.data(), o->_n1,       o->_n2,
            o->_oob,       o->_LN10,      &o->_index1,   &o->_index2};
}

}  // namespace vq::opacity

// ---------------------------------------------------------------------------
// Kramers plus electron-scattering opacity: C_PlumtreeOpacity of module
// ..._plumtree.  Its method table is the grey table (all four slots
// overridden); native subclasses embed this layout first.
// ---------------------------------------------------------------------------

/// Instance layout of C_PlumtreeOpacity: the grey base, then the logarithms of
/// the two coefficients.
struct PlumtreeOpacityObject {
    GreyOpacityObject base;  ///< header; base.vtab points at the class's GreyOpacityVTable
    double _log_kappa0;      ///< ln kappa0, kappa0 in [cm^5 g^-2 K^3.5]
    double _log_kappa_es;    ///< ln kappa_es, kappa_es in [cm^2 g^-1]
};

static_assert(offsetof(PlumtreeOpacityObject, base) == 0);
#if defined(__x86_64__)
static_assert(offsetof(PlumtreeOpacityObject, _log_kappa0) == 24 &&
              offsetof(PlumtreeOpacityObject, _log_kappa_es) == 32 && sizeof(PlumtreeOpacityObject) == 40);
#elif defined(__i386__)
static_assert(offsetof(PlumtreeOpacityObject, _log_kappa0) == 12 &&
              offsetof(PlumtreeOpacityObject, _log_kappa_es) == 20 && sizeof(PlumtreeOpacityObject) == 28);
#endif

namespace vq::opacity {
inline constexpr const char* kPlumtreeModule = "velquor.radiation.opacity.grey_opacity.rosseland._plumtree";
inline constexpr const char* kQuenbyModule = "velquor.radiation.opacity.grey_opacity.rosseland._quenby";
}  // namespace vq::opacity
