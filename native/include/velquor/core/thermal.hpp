// The thermal solve of a one-zone disk, on a model and a host policy.
//
// Vertical energy balance of a one-zone disk: the central temperature T_c at
// which viscous heating is carried away,
//
//     sigma_SB T_c^4 = (27/32) alpha kappa(T_c, rho) Omega Sigma^2 c_s^2,
//
// with H = c_s / Omega and rho = Sigma / (sqrt(2 pi) H).  The balance is solved
// for x = ln T_c; the radiative residual is
//
//     f(x) = ln Q + ln kappa + 2 ln c_s - 4 x,   ln Q = ln(27/32 alpha Omega Sigma^2 / sigma_SB),
//
// (f = ln Q+ - ln Q_rad: positive where heating wins), and the closure record
// is filled from the root (tau, T_eff, nu, q_visc, t_visc).
//
// One implementation serves every thermal model.  A `Model` names its parts:
//
//   using Eos = ...;        // sound_speed(T, mu, Sigma, Omega): velquor/core/eos.hpp
//   using Balance = ...;    // the residual from f (RadiativeBalance here)
//   using Roots = ...;      // which root the solve takes (SeededRoot here)
//   static constexpr const char* kResidualName;  // traceback entries
//   static constexpr const char* kClosureName;
//
// so a closure with another cooling law (e.g. advection: f_adv = -logaddexp(-f,
// ln A)) is a new Balance, and one that must stay on a branch of the S-curve a
// new Roots policy reading the previous record; neither copies the solve.
//
// `Host` (velquor/core/host.hpp) answers error_pending / traceback and also
// provides the root finder:
//
//   int32_t find_root(<find_root_fn arguments>) const;
//
// The extension modules use the interpreter host with the root finder bound from
// velquor.math_utils._tarnwick; a benchmark floor or a native test the solver of
// velquor/core/brent.hpp with no host.
//
// Protocol: after every call that may raise (the root finder, the opacity's
// _log_opacity) the host is asked whether an error is pending; a pending error
// wins, gets this function's traceback entry and makes the function return -1.
// A failed solve returns the root finder's positive status and leaves the
// closure record untouched.  Nothing allocates.
#pragma once

#include "velquor/core/brent.hpp"
#include "velquor/core/constants.hpp"
#include "velquor/core/eos.hpp"
#include "velquor/core/host.hpp"
#include "velquor/core/opacity.hpp"
#include "velquor/core/records.hpp"
#include "velquor/core/status.hpp"

#include <cmath>
#include <cstdint>

namespace vq::thermal {

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

/// What every evaluation of one solve shares (on the closure's stack).
struct Point {
    double log_Q_coef;       ///< ln(27/32 alpha Omega Sigma^2 / sigma_SB)
    double mu;               ///< [-] mean molecular weight
    double Sigma;            ///< [g cm^-2] surface density
    double Omega;            ///< [s^-1] angular velocity
    void* opacity;           ///< native grey opacity object
    double log_sigma_omega;  ///< ln Sigma + ln Omega, fixed for the solve (not per evaluation)
    double log_r;            ///< ln R [cm]
    const DiskParameters* params;  ///< the run's parameters (a Balance may read more of them)
    const void* host;        ///< the solve's Host, made once per closure call and shared by its residuals
};

/// The seed of a first solve: the gas-pressure, electron-scattering root,
/// T^3 = (27/32) alpha kappa_es Omega Sigma^2 k_B / (sigma_SB mu m_p), in ln T.
inline double first_guess(double log_alpha, double mu, double log_sigma, double log_omega) noexcept {
    using namespace vq::constants;
    return (LOG_K_B_CGS - kLog32Over27 + log_alpha + LOG_KAPPA_ES - LOG_M_P_CGS - std::log(mu) - LOG_SIGMA_SB_CGS +
            log_omega + 2.0 * log_sigma) *
           (1.0 / 3.0);
}

/// The thin disk: all the heat is radiated, and the residual is f itself.
struct RadiativeBalance {
    static double residual(double f_radiative, double /*log_cs*/, const Point&) noexcept { return f_radiative; }
};

/// Bracket expansion around the previous step's temperature (or the first
/// guess), then Brent's method: the root nearest the seed.
struct SeededRoot {
    template <class Host>
    static int32_t solve(const Host& host, scalar_func residual, void* point, const ClosureResult& /*prev*/,
                         double seed, double* log_T) noexcept {
        return host.find_root(residual, point, seed, kStep, kGrowFactor, kMaxExpand, kLogTMin, kLogTMax, kTolerance,
                              kTolX, kTolF, kMaxIter, log_T);
    }
};

/// The host of a solve outside any interpreter: nothing pending, and the root
/// finder of velquor/core/brent.hpp called directly.
struct PlainHost : core::NoHost {
    static int32_t find_root(scalar_func f, void* user_data, double x_guess, double step, double grow_factor,
                             int32_t max_expand, double x_min, double x_max, double tolerance, double tol_x,
                             double tol_f, int32_t maxiter, double* root) noexcept {
        return vq::root::core::find_root<core::NoHost>(f, user_data, x_guess, step, grow_factor, max_expand, x_min,
                                                       x_max, tolerance, tol_x, tol_f, maxiter, root);
    }
};

/// A thin disk on the equation of state `Eos`: heating radiated away, the root
/// nearest the previous temperature.  A model derives from it and names its
/// traceback entries (kResidualName, kClosureName).
template <class Eos_>
struct ThinDisk {
    using Eos = Eos_;
    using Balance = RadiativeBalance;
    using Roots = SeededRoot;
};

/// The residual of the model's balance at ln T (a scalar_func): 0, or -1 with
/// an error pending.
template <class Model, class Host>
int32_t residual(double log_T, void* user_data, double* f_out) noexcept {
    const Point* p = static_cast<const Point*>(user_data);
    const Host& host = *static_cast<const Host*>(p->host);
    const double cs = Model::Eos::sound_speed(std::exp(log_T), p->mu, p->Sigma, p->Omega);
    const double log_cs = std::log(cs);
    const double log_rho = p->log_sigma_omega - log_cs - kLogSqrt2Pi;
    const double log_kappa = vq::opacity::log_opacity(p->opacity, log_T, log_rho);
    if (host.error_pending()) {
        host.traceback(VQ_SITE(Model::kResidualName));
        return -1;
    }
    const double f = (log_kappa + p->log_Q_coef) + 2.0 * log_cs - 4.0 * log_T;
    *f_out = Model::Balance::residual(f, log_cs, *p);
    return 0;
}

/// The closure callback (closure_func): solve for T_c and fill `out`.
///
/// Reads derived->R, Sigma, Omega; params->alpha, mu, opacity; prev->log_T_c (0.0
/// means "no previous solution": the first guess seeds the search).  Writes
/// t_visc and the seven logarithms on success; returns the root finder's
/// positive status with `out` untouched, or -1 with an error pending (after the
/// solve, log_T_c and, past the opacity call, log_cs and log_rho may already be
/// written).
template <class Model, class Host>
int32_t closure(const DiskState*, const DiskDerived* derived, const DiskParameters* params, const ClosureResult* prev,
                ClosureResult* out) noexcept {
    const Host host{};
    const double Sigma = derived->Sigma;
    const double Omega = derived->Omega;
    const double log_alpha = std::log(params->alpha);
    const double log_sigma = std::log(Sigma);
    const double log_omega = std::log(Omega);

    const double log_Q_coef =
        log_omega + (log_alpha - kLog32Over27 + 2.0 * log_sigma) - vq::constants::LOG_SIGMA_SB_CGS;

    double log_T_guess = prev->log_T_c;
    if (log_T_guess == 0.0) log_T_guess = first_guess(log_alpha, params->mu, log_sigma, log_omega);

    const double log_r = std::log(derived->R);
    Point point{log_Q_coef, params->mu, Sigma, Omega, params->opacity, log_sigma + log_omega, log_r, params, &host};
    double log_T = 0.0;
    const int32_t status =
        Model::Roots::solve(host, &residual<Model, Host>, &point, *prev, log_T_guess, &log_T);
    if (host.error_pending()) {
        host.traceback(VQ_SITE(Model::kClosureName));
        return vq::status::ERROR_PENDING;
    }
    if (status != vq::status::SUCCESS) return status;

    out->log_T_c = log_T;
    const double cs = Model::Eos::sound_speed(std::exp(log_T), params->mu, Sigma, Omega);
    out->log_cs = std::log(cs);
    out->log_rho = point.log_sigma_omega - out->log_cs - kLogSqrt2Pi;
    const double log_kappa = vq::opacity::log_opacity(params->opacity, log_T, out->log_rho);
    if (host.error_pending()) {
        host.traceback(VQ_SITE(Model::kClosureName));
        return vq::status::ERROR_PENDING;
    }
    out->log_tau = log_sigma + (log_kappa - kLog2);                              // tau = kappa Sigma / 2
    out->log_T_eff = (kLog8Over3 - log_kappa - log_sigma) * 0.25 + log_T;        // T_eff^4 = 4 T_c^4 / (3 tau)
    out->log_nu = log_alpha + 2.0 * out->log_cs - log_omega;                     // nu = alpha c_s^2 / Omega
    out->log_q_visc = out->log_nu + kLog9Over8 + log_sigma + 2.0 * log_omega;    // q = 9/8 nu Sigma Omega^2
    out->t_visc = std::exp(2.0 * log_r - out->log_nu);                           // R^2 / nu
    return vq::status::SUCCESS;
}

}  // namespace vq::thermal
