// Opacity classes: the object layouts and native method tables of the grey
// (C_GreyMurkwell) and frequency-dependent (C_Murkwell) opacity base classes of
// module velquor.radiation.opacity.murkwell, and of the table opacities.
//
// Protocol of every native operation: it may run without the interpreter lock;
// it never signals failure through its result.  To fail it sets an exception
// (taking the lock), adds a traceback entry naming itself and returns 0.0.
// Every caller tests vq::error_pending() after every call, whatever came back.
// Units: CGS (kappa in cm^2 g^-1); every log is a natural logarithm.  Linear
// operations take density before temperature, logarithmic ones temperature
// before density; frequency always comes first.
#pragma once

#include "velquor/bind/capi.hpp"

#include <cstddef>
#include <cstdint>

struct GreyOpacityObject;
struct OpacityObject;

/// Method table of C_GreyMurkwell; subclass tables embed it first.
struct GreyOpacityVTable {
    double (*_opacity)(GreyOpacityObject* self, double rho, double T);             ///< kappa
    double (*_log_opacity)(GreyOpacityObject* self, double log_T, double log_rho);  ///< ln kappa
    double (*_dlogkappa_dlogrho)(GreyOpacityObject* self, double log_T, double log_rho);
    double (*_dlogkappa_dlogT)(GreyOpacityObject* self, double log_T, double log_rho);
};

/// Method table of C_Murkwell (frequency-dependent); subclass tables embed it first.
struct OpacityVTable {
    double (*_opacity)(OpacityObject* self, double nu, double rho, double T);
    double (*_log_opacity)(OpacityObject* self, double log_nu, double log_T, double log_rho);
    double (*_dlogkappa_dlogrho)(OpacityObject* self, double log_nu, double log_T, double log_rho);
    double (*_dlogkappa_dlogT)(OpacityObject* self, double log_nu, double log_T, double log_rho);
    double (*_dlogkappa_dlognu)(OpacityObject* self, double log_nu, double log_T, double log_rho);
};

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
static_assert(sizeof(GreyOpacityVTable) == 4 * sizeof(void*) && sizeof(OpacityVTable) == 5 * sizeof(void*));

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

/// ln kappa of a native grey opacity object held through an untyped pointer.
inline double log_opacity(void* op, double log_T, double log_rho) noexcept {
    auto* o = static_cast<GreyOpacityObject*>(op);
    return o->vtab->_log_opacity(o, log_T, log_rho);
}

}  // namespace vq::opacity

// ---------------------------------------------------------------------------
// Table opacities: C_QuenbyOpacity (axis 2 = log10 R) and C_WrenfoldOpacity
// (axis 2 = log10 rho) of modules ..._quenby and ..._wrenfold.  Both classes
// derive from C_GreyMurkwell and share this layout and this method table.
// ---------------------------------------------------------------------------

struct TableOpacityObject;

/// Method table of the table opacities: the grey table first, then six
/// operations of the interpolation engine.  Every operation follows the error
/// protocol above (an int-returning one returns 0 on failure).
struct TableOpacityVTable {
    GreyOpacityVTable base;
    /// Lower index of the grid interval holding `val` (in [0, n-2] for n >= 2).
    int (*_bisect)(TableOpacityObject* self, const double* arr, int n, double val);
    /// Bilinear log10 kappa in cell (i, j), or NaN when a corner is missing.
    double (*_interp)(TableOpacityObject* self, double x1, double x2, int i, int j);
    /// Grid coordinates (x1 = log10 T, x2 = axis-2 value) of a point.
    void (*_coords)(TableOpacityObject* self, double log_T, double log_rho, double* x1_out, double* x2_out);
    /// Cell holding (x1, x2); 1 when the point is outside the grid, else 0.
    int (*_find_cell)(TableOpacityObject* self, double x1, double x2, int* i_out, int* j_out);
    /// Nearest non-NaN entry around (ci, cj), ring by ring, or NaN.
    double (*_nearest_finite)(TableOpacityObject* self, int ci, int cj);
    /// log10 kappa to use outside the grid (out-of-bounds policy), or NaN.
    double (*_handle_oob)(TableOpacityObject* self, double x1, double x2);
};

/// Instance layout of the table opacities.  The three views refer to the
/// caller's arrays (nothing is copied) and keep them alive.
struct TableOpacityObject {
    GreyOpacityObject base;  ///< header; base.vtab points at a TableOpacityVTable
    vq::F64View _g1;         ///< [log10 K] grid of axis 1 (log10 T), length _n1, non-decreasing
    vq::F64View _g2;         ///< grid of axis 2 (log10 R, or log10 rho [g cm^-3]), length _n2, non-decreasing
    vq::F64View _lk;         ///< [log10 cm^2 g^-1] log10 kappa, (_n1, _n2) row-major; NaN = missing entry
    int32_t _n1;             ///< number of points of axis 1
    int32_t _n2;             ///< number of points of axis 2
    int32_t _oob;            ///< out-of-bounds mode: 0 raise, 1 clamp, 2 nan (others as 0)
    double _LN10;            ///< ln 10
};

#if defined(__x86_64__)
static_assert(sizeof(vq::F64View) == 88);
static_assert(offsetof(TableOpacityObject, _g1) == 24 && offsetof(TableOpacityObject, _g2) == 112 &&
              offsetof(TableOpacityObject, _lk) == 200);
static_assert(offsetof(TableOpacityObject, _n1) == 288 && offsetof(TableOpacityObject, _n2) == 292 &&
              offsetof(TableOpacityObject, _oob) == 296 && offsetof(TableOpacityObject, _LN10) == 304);
static_assert(sizeof(TableOpacityObject) == 312);
#elif defined(__i386__)
static_assert(sizeof(vq::F64View) == 48);
static_assert(offsetof(TableOpacityObject, _g1) == 12 && offsetof(TableOpacityObject, _g2) == 60 &&
              offsetof(TableOpacityObject, _lk) == 108);
static_assert(offsetof(TableOpacityObject, _n1) == 156 && offsetof(TableOpacityObject, _n2) == 160 &&
              offsetof(TableOpacityObject, _oob) == 164 && offsetof(TableOpacityObject, _LN10) == 168);
static_assert(sizeof(TableOpacityObject) == 176);
#endif
static_assert(offsetof(TableOpacityObject, base) == 0 && offsetof(TableOpacityVTable, base) == 0);
static_assert(sizeof(TableOpacityVTable) == 10 * sizeof(void*));
static_assert(offsetof(TableOpacityVTable, _bisect) == 4 * sizeof(void*) &&
              offsetof(TableOpacityVTable, _handle_oob) == 9 * sizeof(void*));

namespace vq::opacity {

inline constexpr const char* kTableOpacityTag = "TableOpacityVTable";

/// The method table of a table opacity object.
inline const TableOpacityVTable* table_vtab(const TableOpacityObject* o) noexcept {
    return reinterpret_cast<const TableOpacityVTable*>(o->base.vtab);
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
