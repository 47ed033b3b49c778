// The thermal solves in an extension module: the interpreter as their host.
//
// velquor/core/thermal.hpp asks its host for the root finder too: here it is
// the one bound from velquor.math_utils._tarnwick (find_root and brent_root).
#pragma once

#include "velquor/bind/host.hpp"
#include "velquor/bind/rootfind.hpp"
#include "velquor/core/thermal.hpp"

namespace vq::thermal {

struct InterpreterHost : vq::InterpreterHost {
    static inline find_root_fn bound_find_root = nullptr;  // one per extension module
    static inline brent_root_fn bound_brent_root = nullptr;

    /// Bind find_root and brent_root (lock held, at import).
    static bool bind() noexcept {
        return vq::root::bind_find_root(&bound_find_root) && vq::root::bind_brent_root(&bound_brent_root);
    }

    static int32_t find_root(scalar_func f, void* user_data, double x_guess, double step, double grow_factor,
                             int32_t max_expand, double x_min, double x_max, double tolerance, double tol_x,
                             double tol_f, int32_t maxiter, double* root) noexcept {
        return bound_find_root(f, user_data, x_guess, step, grow_factor, max_expand, x_min, x_max, tolerance, tol_x,
                               tol_f, maxiter, root);
    }

    static int32_t brent_root(scalar_func f, void* user_data, double x_lo, double x_hi, double f_lo, double f_hi,
                              double tol_x, double tol_f, int32_t maxiter, double* root) noexcept {
        return bound_brent_root(f, user_data, x_lo, x_hi, f_lo, f_hi, tol_x, tol_f, maxiter, root);
    }
};

}  // namespace vq::thermal
