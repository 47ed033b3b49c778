// The opacity method tables and how a core calls an opacity.
//
// Every native opacity object starts with the interpreter's object header (two
// pointer-sized words) followed by a pointer to its class's method table; the
// object layouts themselves are the binding layer's (velquor/bind/opacity.hpp
// checks them against kTableOffset).  A core only ever calls through the table.
//
// Protocol of every operation: it may run without the interpreter lock; it
// never signals failure through its result.  To fail it raises through its host
// (velquor/core/host.hpp), records itself on the error and returns 0.0; every
// caller asks its host whether an error is pending after every call, whatever
// came back.  Units: CGS (kappa in cm^2 g^-1); every log is a natural logarithm.
// Linear operations take density before temperature, logarithmic ones
// temperature before density; frequency always comes first.
#pragma once

#include <cstddef>

extern "C" {

struct GreyOpacityObject;   // an instance of C_GreyMurkwell or of a subclass
struct OpacityObject;       // an instance of C_Murkwell or of a subclass
struct TableOpacityObject;  // an instance of a table opacity class

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

/// Method table of the table opacities: the grey table first, then six
/// operations of the interpolation engine (velquor/core/table.hpp).  Every
/// operation follows the protocol above (an int-returning one returns 0 on
/// failure).
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

}  // extern "C"

static_assert(sizeof(GreyOpacityVTable) == 4 * sizeof(void*) && sizeof(OpacityVTable) == 5 * sizeof(void*));
static_assert(sizeof(TableOpacityVTable) == 10 * sizeof(void*));
static_assert(offsetof(TableOpacityVTable, base) == 0 && offsetof(TableOpacityVTable, _bisect) == 4 * sizeof(void*) &&
              offsetof(TableOpacityVTable, _handle_oob) == 9 * sizeof(void*));

namespace vq::opacity {

/// Byte offset of the method-table pointer in every native opacity object.
inline constexpr std::size_t kTableOffset = 2 * sizeof(void*);

/// The grey method table of the native opacity object at `op`.
inline const GreyOpacityVTable* grey_table_of(const void* op) noexcept {
    return *reinterpret_cast<const GreyOpacityVTable* const*>(static_cast<const char*>(op) + kTableOffset);
}

/// ln kappa of the native grey opacity object at `op` (through its table).
inline double log_opacity(void* op, double log_T, double log_rho) noexcept {
    return grey_table_of(op)->_log_opacity(static_cast<GreyOpacityObject*>(op), log_T, log_rho);
}

}  // namespace vq::opacity
