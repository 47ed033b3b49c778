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
//   using Balance = ...;    // the residual from f (RadiativeBalance, AdvectiveBalance)
//   using Roots = ...;      // which root the solve takes (SeededRoot, BranchRoot)
//   static constexpr bool kReportsExtras;        // fill the record's extra values (Extra)
//   static constexpr const char* kResidualName;  // traceback entries
//   static constexpr const char* kClosureName;
//
// so the advective closure (f_adv = -logaddexp(-f, ln A)) is a Balance and its
// branch tracking a Roots policy reading the previous record; neither copies
// the solve.
//
// `Host` (velquor/core/host.hpp) answers error_pending / traceback / raise and
// also provides the root finder's two entry points:
//
//   int32_t find_root(<find_root_fn arguments>) const;
//   int32_t brent_root(<brent_root_fn arguments>) const;
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
#include <limits>

namespace vq::thermal {

inline constexpr double kLog32Over27 = 0.16989903679539747;  ///< ln(32/27): heating coefficient 27/32
inline constexpr double kLogSqrt2Pi = 0.9189385332046727;    ///< ln sqrt(2 pi)
inline constexpr double kLog2 = 0.6931471805599453;          ///< ln 2
inline constexpr double kLog8Over3 = 0.9808292530117262;     ///< ln(8/3)
inline constexpr double kLog9Over8 = 0.11778303565638346;    ///< ln(9/8)
inline constexpr double kLog4Over9 = -0.8109302162163288;    ///< ln(4/9): Q_adv / Q+ = (4 xi B / 9) (c_s / (Omega R))^2

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
    double log_balance;      ///< the Balance's own coefficient for the solve (Balance::coefficient)
};

/// A root the Roots policy settled on, and the branch it lies on when the
/// policy tracks branches (kNoHistory: the policy cannot tell).
struct Found {
    double log_T;
    int32_t branch;
};
inline constexpr int32_t kNoHistory = -1;

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
    static constexpr bool kNeedsAdvection = false;
    static double coefficient(const DiskParameters&, double /*log_omega*/, double /*log_r*/) noexcept { return 0.0; }
    static double residual(double f_radiative, double /*log_cs*/, const Point&) noexcept { return f_radiative; }
};

/// Advective cooling added to the radiative one: Q+ = Q_rad + Q_adv with
/// Q_rad = Q+ exp(-f) and Q_adv = xi Mdot_acc c_s^2 / (2 pi R^2), Mdot_acc =
/// B pi nu Sigma, so that
///
///     A = Q_adv / Q+ = (4 xi B / 9) (c_s / (Omega R))^2,
///     f_adv = -ln(exp(-f) + A) = -logaddexp(-f, ln A),
///
/// positive where heating wins, as f is.  logaddexp is taken as max + log1p(exp(-|difference|)),
/// which neither overflows nor underflows; xi = 0 (ln A = -inf) returns f itself, bit for bit.
struct AdvectiveBalance {
    static constexpr bool kNeedsAdvection = true;
    /// ln(4 xi B / 9) - 2 ln(Omega R): ln A = coefficient + 2 ln c_s.
    static double coefficient(const DiskParameters& params, double log_omega, double log_r) noexcept {
        return (kLog4Over9 + std::log(vq::constants::DISK_B * params.advection->xi)) - 2.0 * (log_omega + log_r);
    }
    static double residual(double f_radiative, double log_cs, const Point& p) noexcept {
        const double log_A = p.log_balance + 2.0 * log_cs;
        if (!(log_A > -std::numeric_limits<double>::infinity())) return f_radiative;  // no advection (xi = 0)
        const double minus_f = -f_radiative;
        const double larger = minus_f > log_A ? minus_f : log_A;
        return -(larger + std::log1p(std::exp(-std::fabs(minus_f - log_A))));
    }
};

/// Bracket expansion around the previous step's temperature (or the first
/// guess), then Brent's method: the root nearest the seed.
struct SeededRoot {
    template <class Host>
    static int32_t solve(const Host& host, scalar_func residual, void* point, const ClosureResult& /*prev*/,
                         double seed, Found* found) noexcept {
        found->branch = 0;
        return host.find_root(residual, point, seed, kStep, kGrowFactor, kMaxExpand, kLogTMin, kLogTMax, kTolerance,
                              kTolX, kTolF, kMaxIter, &found->log_T);
    }
};

// ---------------------------------------------------------------------------
// BranchRoot: a thermally stable root, on the branch the disk was on.
//
// With advective cooling the balance at fixed Sigma has one or three roots (the
// S-curve): a lower (thin, radiative) and an upper (advective) stable root, and
// between them a root where the residual rises with temperature -- a thermally
// unstable equilibrium, never to be returned.  The search starts from x_p, the
// previous step's ln T_c (or the first guess), and follows the sign of the
// residual there: f(x_p) > 0 means heating wins and the temperature would rise
// at fixed Sigma, so the root is looked for above x_p; f(x_p) < 0 below.  This
// is the thermal relaxation of the disk from its previous temperature, which
// settles on the stable root whose basin holds x_p.
//
// The walk: from x_p, in the direction the sign of f(x_p) points, with a first
// step of 2 |f(x_p)| (within [kMinStep, kStep]: the residual falls by about 4
// per unit of ln T near a root, so the root of the branch usually lies within
// the first step) growing by kWalkGrowth up to kMaxWalkStep, until the
// residual changes sign between two consecutive samples; Brent's method then
// runs on those two.  f(x_p) = 0 returns x_p.  A NaN sample (a NaN f(x_p) at
// once: there is no sign to follow), or a walk that reaches a bound of
// [kLogTMin, kLogTMax] without a sign change, is EXPAND_FAIL; a sample with
// |f| < kTolerance is the root.
//
// Invariants:
//  (1) Every bracket handed to Brent's method has the heating end (f > 0) below
//      the cooling end (f < 0).  Brent's method keeps that orientation (it
//      replaces the end whose sign the new point shares), so the root it
//      returns is one where the residual falls through zero: thermally stable,
//      never the middle root -- unless three roots lie within one bracket (one
//      step of the walk, i.e. at a cusp of the S-curve).
//  (2) Every sample the walk passes before its bracket has the sign of f(x_p),
//      so no root lies between x_p and the bracket other than pairs of roots
//      closer together than one step: the root returned is the first stable
//      root on the downhill side of x_p, the one the disk relaxes to.
//  (3) On an S-curve (the lower and upper branches rising in T with Sigma, the
//      middle one falling) the previous root lies, at the new Sigma, in the
//      basin of its own branch whenever that branch still exists: below the
//      middle root for the lower branch (T_lower(Sigma_p) < T_fold < T_middle(Sigma)),
//      above it for the upper one.  So the branch is kept while it exists, for
//      any change of Sigma, and when it has ended (Sigma above the lower
//      branch's maximum, or below the upper branch's minimum) the walk reaches
//      the other.  Two roots separate as the square root of the distance to the
//      fold that joins them, so a pair that the first step (about 2 |f(x_p)|,
//      a few times the distance to the branch's root) can pass lies within a
//      sliver of Sigma next to the fold that is about to end the branch.
//  (4) The branch label: 0 for the lower branch, 1 for the upper.  It changes
//      only when the walk crosses an extremum of the residual (a sample with a
//      larger |f| than the one before: the dip and hump of the S-curve that a
//      vanished pair of roots leaves between the two branches) -- to 1 when the
//      walk went up, to 0 when it went down -- and is otherwise the previous
//      record's.  Moving up from an upper root or down from a lower one can
//      only confirm the label.  A previous record that reports no branch (a
//      first solve) gives kNoHistory; the closure then labels the root by what
//      it does: upper when it advects more heat than it radiates.  With an
//      opacity that puts more wiggles into the residual (a table) a wiggle the
//      walk crosses counts as such an extremum.
//  (5) A balance without advection (ln A = -inf: xi = 0) has no upper branch:
//      the solve is then the thin solve (SeededRoot) itself, so that xi = 0 is
//      the gas-plus-radiation closure bit for bit, label 0.
// ---------------------------------------------------------------------------
struct BranchRoot {
    static constexpr double kMinStep = 1e-6;      ///< smallest first step of the walk in ln T
    static constexpr double kWalkGrowth = 2.0;    ///< growth of the walk's step
    static constexpr double kMaxWalkStep = 0.25;  ///< largest step of the walk in ln T (28 % in T)

    template <class Host>
    static int32_t solve(const Host& host, scalar_func residual, void* point, const ClosureResult& prev, double seed,
                         Found* found) noexcept {
        namespace st = vq::status;
        if (!(static_cast<const Point*>(point)->log_balance > -std::numeric_limits<double>::infinity()))
            return SeededRoot::solve(host, residual, point, prev, seed, found);
        const int32_t history = vq::disk::reports_branch(prev) ? vq::disk::branch_of(prev) : kNoHistory;
        auto eval = [&](double x, double* out) -> int32_t {
            double value = 0.0;
            const int32_t rc = residual(x, point, &value);
            if (host.error_pending()) return st::ERROR_PENDING;
            if (rc != 0) return st::FUNC_ERROR;
            *out = value;
            return st::SUCCESS;
        };

        double a = seed, fa = 0.0;
        if (const int32_t rc = eval(a, &fa)) return rc;
        if (fa == 0.0) {
            *found = Found{a, history};
            return st::SUCCESS;
        }
        if (!(fa > 0.0 || fa < 0.0)) return st::EXPAND_FAIL;
        const double dir = fa > 0.0 ? 1.0 : -1.0;
        double step = std::fmin(kStep, std::fmax(kMinStep, 2.0 * std::fabs(fa)));
        bool crossed = false;
        for (;;) {
            const double next = a + dir * step;
            const double b = next < kLogTMin ? kLogTMin : (next > kLogTMax ? kLogTMax : next);
            if (!(dir * (b - a) > 0.0)) return st::EXPAND_FAIL;  // pinned at a bound
            double fb = 0.0;
            if (const int32_t rc = eval(b, &fb)) return rc;
            if (std::isnan(fb)) return st::EXPAND_FAIL;
            if (std::fabs(fb) > std::fabs(fa) && !((fa > 0.0 && fb < 0.0) || (fa < 0.0 && fb > 0.0))) crossed = true;
            const int32_t branch = history == kNoHistory || !crossed ? history : (dir > 0.0 ? 1 : 0);
            if (std::fabs(fb) < kTolerance) {
                *found = Found{b, branch};
                return st::SUCCESS;
            }
            if ((fa > 0.0 && fb < 0.0) || (fa < 0.0 && fb > 0.0)) {
                double root = 0.0;
                // the bracket with its heating end first
                const double lo = dir > 0.0 ? a : b, hi = dir > 0.0 ? b : a;
                const double f_lo = dir > 0.0 ? fa : fb, f_hi = dir > 0.0 ? fb : fa;
                const int32_t rc = host.brent_root(residual, point, lo, hi, f_lo, f_hi, kTolX, kTolF, kMaxIter, &root);
                if (host.error_pending()) return st::ERROR_PENDING;
                if (rc != st::SUCCESS) return rc;
                *found = Found{root, branch};
                return st::SUCCESS;
            }
            a = b, fa = fb;
            step = std::fmin(step * kWalkGrowth, kMaxWalkStep);
        }
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
    static int32_t brent_root(scalar_func f, void* user_data, double x_lo, double x_hi, double f_lo, double f_hi,
                              double tol_x, double tol_f, int32_t maxiter, double* root) noexcept {
        return vq::root::core::brent_root<core::NoHost>(f, user_data, x_lo, x_hi, f_lo, f_hi, tol_x, tol_f, maxiter,
                                                        root);
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
    static constexpr bool kReportsExtras = false;
};

/// A disk cooled by radiation and advection on the gas-plus-radiation equation
/// of state, on the stable root of its branch, reporting the radiated fraction
/// and the branch (Extra).  A model derives from it and names its traceback
/// entries.
struct AdvectiveDisk {
    using Eos = vq::eos::GasRadiation;
    using Balance = AdvectiveBalance;
    using Roots = BranchRoot;
    static constexpr bool kReportsExtras = true;
};

/// The message of an advective closure whose packed parameters carry no
/// advection record.
inline constexpr const char* kNoAdvectionRecord =
    "advective closure: the packed parameters carry no advection record";

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
/// Reads derived->R, Sigma, Omega; params->alpha, mu, opacity (and advection
/// for an advective balance: a null record raises RuntimeError); prev->log_T_c
/// (0.0 means "no previous solution": the first guess seeds the search) and,
/// for a branch-tracking model, prev's branch.  Writes t_visc and the seven
/// logarithms on success, and a model with kReportsExtras the radiated fraction
/// exp(-f) and the branch into out->extra when the caller offered room; returns
/// the root finder's positive status with `out` untouched, or -1 with an error
/// pending (after the solve, log_T_c and, past the opacity call, log_cs and
/// log_rho may already be written).
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
    if constexpr (Model::Balance::kNeedsAdvection) {
        if (!params->advection) {
            host.raise(core::Error::kRuntime, kNoAdvectionRecord);
            host.traceback(VQ_SITE(Model::kClosureName));
            return vq::status::ERROR_PENDING;
        }
    }
    Point point{log_Q_coef, params->mu,  Sigma, Omega, params->opacity, log_sigma + log_omega,
                log_r,      params,      &host, Model::Balance::coefficient(*params, log_omega, log_r)};
    Found found{0.0, 0};
    const int32_t status = Model::Roots::solve(host, &residual<Model, Host>, &point, *prev, log_T_guess, &found);
    if (host.error_pending()) {
        host.traceback(VQ_SITE(Model::kClosureName));
        return vq::status::ERROR_PENDING;
    }
    if (status != vq::status::SUCCESS) return status;
    const double log_T = found.log_T;

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
    if constexpr (Model::kReportsExtras) {
        // The radiative residual at the root, formed as the residual forms it.
        const double f_root = (log_kappa + log_Q_coef) + 2.0 * out->log_cs - 4.0 * log_T;
        const double radiated = std::exp(-f_root);
        int32_t branch = found.branch;
        if (branch == kNoHistory) branch = radiated < 0.5 ? 1 : 0;  // no history: by what the root does
        if (out->extra) {
            out->extra[vq::disk::RADIATED_FRACTION] = radiated;
            out->extra[vq::disk::BRANCH] = static_cast<double>(branch);
            out->n_extra = vq::disk::N_EXTRA;
        }
    }
    return vq::status::SUCCESS;
}

}  // namespace vq::thermal
