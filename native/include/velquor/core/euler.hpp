// The explicit Euler time loop of the one-zone disk model.
//
// Plain C++: the loop only derives the geometry, calls the four callbacks in the
// order closure, source, derivative, writer, and applies the Euler update.  How
// "is an exception pending?" is answered after each callback is a parameter, so
// the integrator (which must ask) and the benchmark floor (which asks nothing)
// run the very same loop.
#pragma once

#include "velquor/bind/disk.hpp"

#include <cmath>
#include <cstdint>

namespace vq::disk {

/// Natural logarithms of the geometry constants the loop needs.
struct GeometryLogs {
    double LOG_G_CGS;    ///< ln G
    double LOG_PI;       ///< ln pi
    double LOG_DISK_XI;  ///< ln of the angular-momentum structure factor
    double LOG_DISK_A;   ///< ln of the surface-density structure factor
};

/// Read the geometry logarithms from the closure module (lock held, at import).
inline bool bind_geometry_logs(GeometryLogs* k) noexcept {
    return import_constant("LOG_G_CGS", &k->LOG_G_CGS) && import_constant("LOG_PI", &k->LOG_PI) &&
           import_constant("LOG_DISK_XI", &k->LOG_DISK_XI) && import_constant("LOG_DISK_A", &k->LOG_DISK_A);
}

/// Integrator statuses (negative) besides the negated closure codes.
enum LoopStatus : int32_t {
    LOOP_PY_ERROR = -1,
    LOOP_DERIVATIVE_FAIL = -10,
    LOOP_WRITER_FAIL = -20,
    LOOP_SOURCE_FAIL = -30,
};

/// Geometry of the disk from its mass, angular momentum and the black-hole mass:
/// J = XI M sqrt(G MBH R), Sigma = M / (A pi R^2), Omega = sqrt(G MBH / R^3).
inline DiskDerived derive_geometry(const DiskState& s, double MBH, const GeometryLogs& k) noexcept {
    const double log_m = std::log(s.M);
    const double log_j = std::log(s.J);
    const double log_MBH = std::log(MBH);
    const double log_r = 2.0 * (log_j - k.LOG_DISK_XI - log_m) - k.LOG_G_CGS - log_MBH;
    const double log_sigma = log_m - 2.0 * log_r - k.LOG_PI - k.LOG_DISK_A;
    const double log_omega = 0.5 * (k.LOG_G_CGS + log_MBH - 3.0 * log_r);
    return DiskDerived{std::exp(log_r), std::exp(log_sigma), std::exp(log_omega)};
}

/// March (M, J) from t_start with explicit Euler steps, writing one result column
/// per step into `result` (rows x max_steps, row-major).  Returns the number of
/// columns written (>= 1) or a negative status: -1 with an exception pending, the
/// negated closure code, or LOOP_*_FAIL.  `pending()` answers whether an
/// exception is pending on this thread.  `source` may be null.
///
/// Invariants: column k holds the state after k steps together with the step
/// that leads away from it; the state reached by the last update is not
/// written; the step is never clipped to t_end.
template <class Pending>
int32_t march_euler(const double initial_state[2], double* result, double t_start, double t_end, int32_t max_steps,
                    closure_func closure, derivative_func derivative, writer_func writer, source_func source,
                    const DiskParameters& params, const GeometryLogs& k, Pending&& pending) noexcept {
    DiskState state{t_start, initial_state[0], initial_state[1]};
    DiskStep step{0.0, 0.0, 0.0};
    ClosureResult prev{};  // "no previous solution": every numeric field 0.0, extra null
    ClosureResult current{};
    int32_t actual_steps = 0;

    for (;;) {
        const DiskDerived derived = derive_geometry(state, params.MBH, k);

        int32_t status = closure(&state, &derived, &params, &prev, &current);
        if (pending()) return LOOP_PY_ERROR;
        if (status > 0) return -status;
        if (status < 0) return status;  // outside the contract: still a failure, never a column

        if (source) {
            status = source(&state, &derived, &params, &current, &step);
            if (pending()) return LOOP_PY_ERROR;
            if (status != 0) return LOOP_SOURCE_FAIL;
        }

        status = derivative(&state, &derived, &params, &current, &step);
        if (pending()) return LOOP_PY_ERROR;
        if (status != 0) return LOOP_DERIVATIVE_FAIL;

        status = writer(actual_steps, &state, &derived, &params, &current, &step, result, max_steps);
        if (pending()) return LOOP_PY_ERROR;
        if (status != 0) return LOOP_WRITER_FAIL;

        ++actual_steps;
        prev = current;

        state.t += step.dt;
        state.M += step.dM_dt * step.dt;
        state.J += step.dJ_dt * step.dt;
        step = DiskStep{0.0, 0.0, 0.0};

        if (state.t >= t_end || actual_steps >= max_steps) return actual_steps;
    }
}

}  // namespace vq::disk
