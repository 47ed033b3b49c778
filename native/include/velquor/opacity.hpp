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

#include "velquor/capi.hpp"

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

/// ln kappa of a native grey opacity object held through an untyped pointer.
inline double log_opacity(void* op, double log_T, double log_rho) noexcept {
    auto* o = static_cast<GreyOpacityObject*>(op);
    return o->vtab->_log_opacity(o, log_T, log_rho);
}

}  // namespace vq::opacity
