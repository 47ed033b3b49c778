// Root finder ABI: the scalar callback, the status codes and the three entry
// points exported by velquor.math_utils._tarnwick, with their signature texts.
#pragma once

#include "velquor/bind/capi.hpp"

#include <cstdint>

extern "C" {

/// f(x) -> *f_out; 0 on success, any non-zero value on failure.  `user_data` is
/// forwarded unchanged from the solver's caller.
typedef int32_t (*scalar_func)(double x, void* user_data, double* f_out);

typedef int32_t (*expand_bracket_fn)(scalar_func f, void* user_data, double x_guess, double step,
                                     double grow_factor, int32_t max_expand, double x_min, double x_max,
                                     double tolerance, double* x_lo_out, double* x_hi_out, double* f_lo_out,
                                     double* f_hi_out);
typedef int32_t (*brent_root_fn)(scalar_func f, void* user_data, double x_lo, double x_hi, double f_lo,
                                 double f_hi, double tol_x, double tol_f, int32_t maxiter, double* root);
typedef int32_t (*find_root_fn)(scalar_func f, void* user_data, double x_guess, double step, double grow_factor,
                                int32_t max_expand, double x_min, double x_max, double tolerance, double tol_x,
                                double tol_f, int32_t maxiter, double* root);
}

namespace vq::root {

/// Status codes of expand_bracket, brent_root and find_root.
enum Status : int32_t {
    SUCCESS = 0,      ///< result written
    FUNC_ERROR = 1,   ///< the callback returned non-zero (no exception pending)
    EXPAND_FAIL = 2,  ///< no sign change within the allowed expansions
    NO_BRACKET = 3,   ///< brent_root given f(x_lo) * f(x_hi) > 0
    MAX_ITER = 4,     ///< iteration budget used up; best estimate written
    PY_ERROR = -1,    ///< an exception is pending
};

inline constexpr const char* kModule = "velquor.math_utils._tarnwick";
inline constexpr const char* kExpandBracketTag =
    "int (int (double, void *, double *), void *, double, double, double, int, double, double, double, "
    "double *, double *, double *, double *)";
inline constexpr const char* kBrentRootTag =
    "int (int (double, void *, double *), void *, double, double, double, double, double, double, int, "
    "double *)";
inline constexpr const char* kFindRootTag =
    "int (int (double, void *, double *), void *, double, double, double, int, double, double, double, "
    "double, double, int, double *)";

/// Bind find_root from the root-finder module (lock held, at import).
inline bool bind_find_root(find_root_fn* out) noexcept {
    return vq::import_function(kModule, "find_root", kFindRootTag, out);
}

}  // namespace vq::root
