// Vertical energy balance of a one-zone disk: the central temperature T_c at
// which viscous heating is radiated away,
//
//     sigma_SB T_c^4 = (27/32) alpha kappa(T_c, rho) Omega Sigma^2 c_s^2,
//
// with H = c_s / Omega and rho = Sigma / (sqrt(2 pi) H).  The balance is solved
// for x = ln T_c by bracket expansion and Brent's method on the residual
//
//     f(x) = ln Q + ln kappa + 2 ln c_s - 4 x,   ln Q = ln(27/32 alpha Omega Sigma^2 / sigma_SB),
//
// and the closure record is filled from the root (tau, T_eff, nu, q_visc, t_visc).
//
// One implementation serves every thermal model: the solve is a template over
//
//   Model  the equation of state:
//            static double sound_speed(double T, double mu, double Sigma, double Omega) noexcept;
//            static constexpr bool kSoundSpeedMayRaise;   // ask for a pending error after it?
//            static constexpr const char* kResidualName;  // traceback entries
//            static constexpr const char* kClosureName;
//   Host   what only an embedding can answer:
//            static bool error_pending() noexcept;
//            static void traceback(const char* qualname) noexcept;
//            static int32_t find_root(<find_root_fn arguments>) noexcept;
//
// The extension modules use InterpreterHost (the interpreter's error indicator and
// the root finder bound from velquor.math_utils._tarnwick); a benchmark floor can
// instantiate the same code with a host that asks nothing.
//
// Protocol: after every call that may raise (the root finder, the sound speed when
// the model says so, the opacity's _log_opacity) the host is asked whether an
// error is pending; a pending error wins, gets this function's traceback entry and
// makes the function return -1.  A failed solve returns the root finder's positive
// status and leaves the closure record untouched.  Nothing allocates.
#pragma once

#include "velquor/bind/capi.hpp"
#include "velquor/bind/disk.hpp"
#include "velquor/bind/opacity.hpp"
#include "velquor/bind/rootfind.hpp"

#include <cmath>
#include <cstdint>

namespace vq::disk::thermal {

inline constexpr double kLog32Over27 = 0.16989903679539747;  ///< ln(32/27): heating coefficient 27/32
inline constexpr double kLogSqrt2Pi = 0.9189385332046727;    ///< ln sqrt(2 pi)
inline constexpr double kLog2 = 0.6931471805599453;          ///< ln 2
inline constexpr double kLog8Over3 = 0.9808292530117262;     ///< ln(8/3)
inline constexpr double kLog9Over8 = 0.11778303565638346;    ///< ln(9/8)

// Root-finder settings of every thermal solve.
inline constexpr double kStep = 0.05;                  ///< initial half-width of the bracket in ln T
inline constexpr double kGrowFactor = 2.0;             ///< half-width growth per expansion
inline constexpr int32_t kMaxExpand = 64;              ///< expansions before EXPAND_FAIL
inline constexpr double kLogTMin = 2.302585092994046;  ///< ln 10: T >= 10 K
inline constexpr double kLogTMax = 32.23619130191664;  ///< ln 1e14: T <= 1e14 K
inline constexpr double kTolerance = 1e-30;            ///< |f| counted as an exact root at a bracket end
inline constexpr double kTolX = 1e-10;                 ///< bracket width in ln T
inline constexpr double kTolF = 1e-12;                 ///< residual
inline constexpr int32_t kMaxIter = 100;               ///< Brent evaluations

/// Natural logarithms of the CGS constants the solve reads, bound at import from
/// the closure module, and the gas-law factor derived from them.
struct Constants {
    double LOG_SIGMA_SB_CGS = 0.0;  ///< ln sigma_SB [erg cm^-2 s^-1 K^-4]
    double LOG_K_B_CGS = 0.0;       ///< ln k_B [erg K^-1]
    double LOG_KAPPA_ES = 0.0;      ///< ln kappa_es [cm^2 g^-1]
    double LOG_M_P_CGS = 0.0;       ///< ln m_p [g]
    double K_B_OVER_M_P = 0.0;      ///< k_B / m_p [erg K^-1 g^-1]
};

/// One copy per extension module (hidden visibility), filled by bind_constants.
inline Constants constants;

/// Import the four logarithms from the closure module (lock held, at import).
inline bool bind_constants() noexcept {
    Constants c;
    if (!vq::import_value(kClosureModule, "LOG_SIGMA_SB_CGS", kDoubleTag, &c.LOG_SIGMA_SB_CGS) ||
        !vq::import_value(kClosureModule, "LOG_K_B_CGS", kDoubleTag, &c.LOG_K_B_CGS) ||
        !vq::import_value(kClosureModule, "LOG_KAPPA_ES", kDoubleTag, &c.LOG_KAPPA_ES) ||
        !vq::import_value(kClosureModule, "LOG_M_P_CGS", kDoubleTag, &c.LOG_M_P_CGS))
        return false;
    c.K_B_OVER_M_P = std::exp(c.LOG_K_B_CGS - c.LOG_M_P_CGS);
    constants = c;
    return true;
}

/// Context of one solve, on the closure's stack (hollinRootData).
struct RootData {
    double log_Q_coef;  ///< ln(27/32 alpha Omega Sigma^2 / sigma_SB)
    double mu;          ///< [-] mean molecular weight
    double Sigma;       ///< [g cm^-2] surface density
    double Omega;       ///< [s^-1] angular velocity
    void* opacity;      ///< native grey opacity object (C_GreyMurkwell layout)
    double log_sigma_omega;  ///< ln Sigma + ln Omega, fixed for the solve (not per evaluation)
};

/// Equation of state of an ideal gas: c_s^2 = k_B T / (mu m_p).  Never raises.
struct GasPressureLaw {
    static constexpr bool kSoundSpeedMayRaise = false;
    static double sound_speed(double T, double mu, double, double) noexcept {
        return std::sqrt(constants.K_B_OVER_M_P * T / mu);
    }
};

/// The interpreter as host: every question takes the lock re-entrantly, and the
/// solver is velquor.math_utils._tarnwick's find_root, bound at import.
struct InterpreterHost {
    static inline find_root_fn bound_find_root = nullptr;  // one per extension module

    static bool bind() noexcept { return vq::root::bind_find_root(&bound_find_root); }
    static bool error_pending() noexcept { return vq::error_pending(); }
    static void traceback(const char* qualname) noexcept { vq::add_traceback(qualname, __FILE__, __LINE__); }
    static int32_t find_root(scalar_func f, void* user_data, double x_guess, double step, double grow_factor,
                             int32_t max_expand, double x_min, double x_max, double tolerance, double tol_x,
                             double tol_f, int32_t maxiter, double* root) noexcept {
        return bound_find_root(f, user_data, x_guess, step, grow_factor, max_expand, x_min, x_max, tolerance, tol_x,
                               tol_f, maxiter, root);
    }
};

/// The residual f(ln T) of the balance (a scalar_func): 0, or -1 with an error pending.
template <class Model, class Host>
int32_t residual(double log_T, void* user_data, double* f_out) noexcept {
    const RootData* d = static_cast<const RootData*>(user_data);
    const double cs = Model::sound_speed(std::exp(log_T), d->mu, d->Sigma, d->Omega);
    if (Model::kSoundSpeedMayRaise && Host::error_pending()) {
        Host::traceback(Model::kResidualName);
        return -1;
    }
    const double log_cs = std::log(cs);
    const double log_rho = d->log_sigma_omega - log_cs - kLogSqrt2Pi;
    const double log_kappa = vq::opacity::log_opacity(d->opacity, log_T, log_rho);
    if (Host::error_pending()) {
        Host::traceback(Model::kResidualName);
        return -1;
    }
    *f_out = (log_kappa + d->log_Q_coef) + 2.0 * log_cs - 4.0 * log_T;
    return 0;
}

/// The closure callback (closure_func): solve for T_c and fill `out`.
///
/// Reads derived->R, Sigma, Omega; params->alpha, mu, opacity; prev->log_T_c (0.0
/// means "no previous solution": the gas-pressure, electron-scattering root seeds
/// the search).  Writes t_visc and the seven logarithms on success; returns the
/// root finder's positive status with `out` untouched, or -1 with an error pending
/// (after the solve, log_T_c and, past the opacity call, log_cs and log_rho may
/// already be written).
template <class Model, class Host>
int32_t closure(const DiskState*, const DiskDerived* derived, const DiskParameters* params, const ClosureResult* prev,
                ClosureResult* out) noexcept {
    const double Sigma = derived->Sigma;
    const double Omega = derived->Omega;
    const double log_alpha = std::log(params->alpha);
    const double log_sigma = std::log(Sigma);
    const double log_omega = std::log(Omega);
    const Constants& k = constants;

    const double log_Q_coef = log_omega + (log_alpha - kLog32Over27 + 2.0 * log_sigma) - k.LOG_SIGMA_SB_CGS;

    double log_T_guess = prev->log_T_c;
    if (log_T_guess == 0.0) {
        log_T_guess = (k.LOG_K_B_CGS - kLog32Over27 + log_alpha + k.LOG_KAPPA_ES - k.LOG_M_P_CGS -
                       std::log(params->mu) - k.LOG_SIGMA_SB_CGS + log_omega + 2.0 * log_sigma) *
                      (1.0 / 3.0);
    }

    RootData data{log_Q_coef, params->mu, Sigma, Omega, params->opacity, log_sigma + log_omega};
    double log_T = 0.0;
    const int32_t status =
        Host::find_root(&residual<Model, Host>, &data, log_T_guess, kStep, kGrowFactor, kMaxExpand, kLogTMin,
                        kLogTMax, kTolerance, kTolX, kTolF, kMaxIter, &log_T);
    if (Host::error_pending()) {
        Host::traceback(Model::kClosureName);
        return -1;
    }
    if (status != 0) return status;

    out->log_T_c = log_T;
    const double cs = Model::sound_speed(std::exp(log_T), params->mu, Sigma, Omega);
    if (Model::kSoundSpeedMayRaise && Host::error_pending()) {
        Host::traceback(Model::kClosureName);
        return -1;
    }
    out->log_cs = std::log(cs);
    out->log_rho = data.log_sigma_omega - out->log_cs - kLogSqrt2Pi;
    const double log_kappa = vq::opacity::log_opacity(params->opacity, log_T, out->log_rho);
    if (Host::error_pending()) {
        Host::traceback(Model::kClosureName);
        return -1;
    }
    out->log_tau = log_sigma + (log_kappa - kLog2);                              // tau = kappa Sigma / 2
    out->log_T_eff = (kLog8Over3 - log_kappa - log_sigma) * 0.25 + log_T;        // T_eff^4 = 4 T_c^4 / (3 tau)
    out->log_nu = log_alpha + 2.0 * out->log_cs - log_omega;                     // nu = alpha c_s^2 / Omega
    out->log_q_visc = out->log_nu + kLog9Over8 + log_sigma + 2.0 * log_omega;    // q = 9/8 nu Sigma Omega^2
    out->t_visc = std::exp(2.0 * std::log(derived->R) - out->log_nu);            // R^2 / nu
    return 0;
}

}  // namespace vq::disk::thermal
