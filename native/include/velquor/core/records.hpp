// The records and callback types of the disk model, with their layouts.
//
// The records of the one-zone disk model and the callback types that pass them:
// the one declaration every module and every core is built against.
//
// Plain C, no interpreter: the records cross module boundaries as raw memory,
// so their field order and widths are fixed (checked below for both x86_64 and
// i386).  CGS throughout; a field named log_* holds a natural logarithm.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

/// The integrated variables.
struct DiskState {
    double t;  ///< [s] current time
    double M;  ///< [g] disk mass
    double J;  ///< [g cm^2 s^-1] disk angular momentum
};

/// Geometry derived from DiskState and the black-hole mass at every step.
struct DiskDerived {
    double R;      ///< [cm] disk radius
    double Sigma;  ///< [g cm^-2] surface density
    double Omega;  ///< [s^-1] Keplerian angular velocity at R
};

/// Parameters of the power-law fallback supply.
struct FallbackParams {
    double M_fb_0;   ///< [g s^-1] fallback rate at t = t_fb
    double R_c;      ///< [cm] circularisation radius of the debris
    double t_fb;     ///< [s] fallback time scale
    double beta_fb;  ///< [-] power-law index of the fallback rate
};

/// Parameters of advective closures.
struct AdvectionParams {
    double xi;  ///< [-] advection parameter: Q_adv = xi Mdot_acc c_s^2 / (2 pi R^2)
};

/// Run constants, packed once per run by the closure.
struct DiskParameters {
    double MBH;                  ///< [g] black-hole mass
    double R_in;                 ///< [cm] inner disk radius
    double alpha;                ///< [-] viscosity parameter
    double mu;                   ///< [-] mean molecular weight
    double epsilon;              ///< [-] time-step fraction (set by the integrator)
    FallbackParams* fallback;    ///< borrowed; null without a fallback source
    AdvectionParams* advection;  ///< borrowed; null except in advective closures
    void* opacity;               ///< borrowed native grey opacity object (velquor/core/opacity.hpp)
};

/// Thermal state of the disk at one step.
struct ClosureResult {
    double dM_dt;       ///< [g s^-1] reserved
    double dJ_dt;       ///< [g cm^2 s^-2] reserved
    double t_visc;      ///< [s] viscous time (linear)
    double log_T_eff;   ///< ln [K] effective temperature
    double log_T_c;     ///< ln [K] central temperature
    double log_tau;     ///< ln optical depth
    double log_cs;      ///< ln [cm s^-1] sound speed
    double log_nu;      ///< ln [cm^2 s^-1] kinematic viscosity
    double log_q_visc;  ///< ln [erg cm^-2 s^-1] viscous heating rate per unit area
    double log_rho;     ///< ln [g cm^-3] central density
    double* extra;      ///< optional further diagnostics (vq::disk::Extra), may be null
    int32_t n_extra;    ///< number of values at extra
};

/// The Euler step of one iteration.
struct DiskStep {
    double dt;     ///< [s] step size
    double dM_dt;  ///< [g s^-1] total rate of change of M
    double dJ_dt;  ///< [g cm^2 s^-2] total rate of change of J
};

/// Callback statuses (velquor/core/status.hpp): 0 success; -1 with an error
/// pending; closures return the root finder's positive codes; other callbacks
/// any non-zero value.
typedef int32_t (*closure_func)(const DiskState* state, const DiskDerived* derived, const DiskParameters* params,
                                const ClosureResult* prev, ClosureResult* out);
typedef int32_t (*derivative_func)(const DiskState* state, const DiskDerived* derived, const DiskParameters* params,
                                   const ClosureResult* closure, DiskStep* step);
typedef int32_t (*source_func)(const DiskState* state, const DiskDerived* derived, const DiskParameters* params,
                               const ClosureResult* closure, DiskStep* step);
typedef int32_t (*writer_func)(const int32_t step_index, const DiskState* state, const DiskDerived* derived,
                               const DiskParameters* params, const ClosureResult* closure, const DiskStep* step,
                               double* result_array, int32_t n_steps);

}  // extern "C"

namespace vq::disk {

/// The further diagnostics a closure may report at ClosureResult::extra, by
/// index.  A caller that offers room sets `extra` to kExtraCapacity doubles of
/// its own and `n_extra` to 0 before the call; a closure that reports writes
/// the values in this order and sets `n_extra` to their count.  A null `extra`
/// offers no room, and a closure that does not report leaves both alone.
enum Extra : int32_t {
    RADIATED_FRACTION = 0,  ///< [-] Q_rad / Q+, the share of the viscous heating radiated (1: a thin disk)
    BRANCH = 1,             ///< [-] branch of the thermal equilibrium: 0 the lower (thin), 1 the upper
    N_EXTRA = 2,            ///< values a branch-tracking closure reports
};
inline constexpr int32_t kExtraCapacity = 4;

/// The branch a closure record reports (0 when it reports none).
inline int32_t branch_of(const ClosureResult& r) noexcept {
    return r.extra && r.n_extra > BRANCH ? static_cast<int32_t>(r.extra[BRANCH]) : 0;
}

/// Whether the record reports a branch at all.
inline bool reports_branch(const ClosureResult& r) noexcept { return r.extra && r.n_extra > BRANCH; }

/// The four callbacks a closure installs (source may be null).
struct DiskCallbacks {
    closure_func closure;
    derivative_func derivative;
    writer_func writer;
    source_func source;
};

}  // namespace vq::disk

// ---------------------------------------------------------------------------
// Layout checks: every module is built against these exact layouts.
// ---------------------------------------------------------------------------
static_assert(sizeof(double) == 8 && sizeof(int32_t) == 4);
static_assert(sizeof(DiskState) == 24 && offsetof(DiskState, J) == 16);
static_assert(sizeof(DiskDerived) == 24 && offsetof(DiskDerived, Omega) == 16);
static_assert(sizeof(FallbackParams) == 32 && offsetof(FallbackParams, beta_fb) == 24);
static_assert(sizeof(AdvectionParams) == 8);
static_assert(sizeof(DiskStep) == 24 && offsetof(DiskStep, dJ_dt) == 16);
static_assert(offsetof(DiskParameters, epsilon) == 32 && offsetof(DiskParameters, fallback) == 40);
static_assert(offsetof(ClosureResult, log_rho) == 72 && offsetof(ClosureResult, extra) == 80);
#if defined(__x86_64__)
static_assert(sizeof(DiskParameters) == 64 && offsetof(DiskParameters, opacity) == 56);
static_assert(sizeof(ClosureResult) == 96 && offsetof(ClosureResult, n_extra) == 88);
#elif defined(__i386__)
static_assert(sizeof(DiskParameters) == 52 && offsetof(DiskParameters, opacity) == 48);
static_assert(sizeof(ClosureResult) == 88 && offsetof(ClosureResult, n_extra) == 84);
#endif
