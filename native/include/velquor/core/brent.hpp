// Root finder: bracket expansion and Brent's method, on a host policy.
//
// Bracket expansion and Brent's method for one scalar equation f(x) = 0.
//
// Plain C++ with no interpreter dependency: the three solvers are templates over
// a `Host` policy (velquor/core/host.hpp) that answers the questions only an
// embedding knows how to answer, so the root-finder module instantiates them
// with the interpreter and a benchmark or a native test with `NoHost`.  Each
// solver makes one host for its call and asks it:
//
//   bool error_pending() const;           // did the last callback leave an error?
//   void traceback(Solver where) const;   // record the solver `where` on the pending error
//   void raise(Error, const char*) const; // report a zero denominator ("float division")
//
// The function is called as `f(x, user_data, &value)` and returns 0 on success;
// `F` is any callable with that shape (normally a plain function pointer).
//
// Evaluation protocol, for every call of f: call it, then ask the host whether
// an error is pending.  A pending error wins: record the current function on it
// and return -1.  Otherwise a non-zero result of f, whatever its value, becomes
// status 1.  Only after both checks is the value used, so no out-parameter is
// ever written on a failure.
//
// expand_bracket
//   The search interval is always [x_guess - h, x_guess + h] clipped to
//   [x_min, x_max], never re-centred; h starts at `step` and is multiplied by
//   `grow_factor` before each of at most `max_expand` expansions.  Both ends are
//   evaluated (lower first) before any test.  An end with abs(f) < tolerance is
//   an exact root (lower end first) and is reported as a degenerate bracket
//   [x, x] with both values 0.0; otherwise values of strictly opposite signs
//   make a bracket.  A zero endpoint value is therefore not a sign change
//   unless the tolerance admits it.  Once both ends sit on the hard
//   bounds without success, further growth cannot help and the search stops.
//   Cost: at most 2 + 2 * max_expand evaluations.
//
// brent_root
//   Names: b is the current estimate, a the contrapoint, c the previous b and
//   d the b before c.  Invariants at the top of every iteration:
//     (1) fa and fb do not have strictly the same sign (or one is NaN): the
//         root lies between a and b;
//     (2) abs(fb) <= abs(fa): b is the better end, the one reported;
//     (3) fa, fb, fc are the values of f at a, b, c, never re-evaluated;
//     (4) mflag says whether the previous step bisected; d is read only when it
//         is clear, which needs one completed iteration, so d is always set by
//         then.
//   The tolerances are tested before every evaluation, including the first,
//   so a bracket that already meets one costs nothing.  The trial point comes
//   from inverse quadratic interpolation through (a, b, c) when the three
//   values differ and from the secant through (a, b) otherwise (c == a on
//   entry, so the first step is a secant).  It is replaced by the bisection
//   point unless it lies strictly between (3a + b) / 4 and b and the steps keep
//   halving.  A zero denominator from fa == fb == 0 is reported through the
//   host rather than divided by; one from an underflowed product of non-zero
//   differences (values below about 1e-162) makes the step bisect.  Signs are
//   compared, never multiplied, for the same reason.  After evaluating f(s),
//   s replaces whichever of a, b keeps (1) and then (2) is restored by a swap
//   (ties keep the order).  At most `maxiter` evaluations are made; the result
//   is always b.
//
// find_root
//   One evaluation at the guess (an exact zero is returned at once), then
//   expand_bracket, then brent_root on the bracket.  The guess value is not
//   reused, so a full solve costs at most 1 + 2 * (max_expand + 1) + maxiter
//   evaluations.
//
// Comparisons are strict exactly where written; NaN fails every comparison, so
// a NaN value never counts as a root, a sign change or a bracket refusal.  No
// function allocates, throws or keeps state.
#pragma once

#include "velquor/core/host.hpp"
#include "velquor/core/status.hpp"

#include <cmath>
#include <cstdint>

extern "C" {

/// f(x) -> *f_out; 0 on success, any non-zero value on failure.  `user_data` is
/// forwarded unchanged from the solver's caller.
typedef int32_t (*scalar_func)(double x, void* user_data, double* f_out);

/// The three solvers as exported by the root-finder module.
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

namespace vq::root::core {

using vq::core::NoHost;
namespace status = vq::status;

/// The solvers' statuses (velquor/core/status.hpp): SUCCESS, FUNC_ERROR,
/// EXPAND_FAIL, NO_BRACKET, MAX_ITER, and ERROR_PENDING when an error is pending.
inline constexpr int32_t kSuccess = status::SUCCESS;
inline constexpr int32_t kFuncError = status::FUNC_ERROR;
inline constexpr int32_t kExpandFail = status::EXPAND_FAIL;
inline constexpr int32_t kNoBracket = status::NO_BRACKET;
inline constexpr int32_t kMaxIter = status::MAX_ITER;
inline constexpr int32_t kError = status::ERROR_PENDING;

/// The solver on whose behalf a failure is recorded.
enum class Solver { ExpandBracket, BrentRoot, FindRoot };

namespace detail {

/// x * y < 0 without forming the product: the same answer for zeros, NaN and
/// infinities, and still right when the product would underflow to zero.
inline bool opposite_signs(double x, double y) noexcept { return (x < 0.0 && y > 0.0) || (x > 0.0 && y < 0.0); }

/// x * y > 0 without forming the product (see opposite_signs).
inline bool same_strict_signs(double x, double y) noexcept {
    return (x > 0.0 && y > 0.0) || (x < 0.0 && y < 0.0);
}

/// One call of f under the evaluation protocol: 0 with *out written, 1 or -1.
template <class Host, class F>
inline int32_t evaluate(const Host& host, F f, void* user_data, double x, double* out, Solver where) noexcept {
    double value = 0.0;
    const int32_t rc = f(x, user_data, &value);
    if (host.error_pending()) {
        host.traceback(where);
        return kError;
    }
    if (rc != 0) return kFuncError;
    *out = value;
    return kSuccess;
}

/// Zero denominator inside Brent's method.
template <class Host>
inline int32_t division_by_zero(const Host& host) noexcept {
    host.raise(vq::core::Error::kZeroDivision, vq::core::kFloatDivision);
    host.traceback(Solver::BrentRoot);
    return kError;
}

template <class Host, class F>
int32_t expand_bracket(const Host& host, F f, void* user_data, double x_guess, double step, double grow_factor, int32_t max_expand,
                       double x_min, double x_max, double tolerance, double* x_lo_out, double* x_hi_out,
                       double* f_lo_out, double* f_hi_out) noexcept {
    double h = step;
    for (int32_t round = 0;; ++round) {
        const double lo_raw = x_guess - h;
        const double hi_raw = x_guess + h;
        const double x_lo = x_min > lo_raw ? x_min : lo_raw;
        const double x_hi = hi_raw > x_max ? x_max : hi_raw;

        double f_lo, f_hi;
        int32_t rc = evaluate(host, f, user_data, x_lo, &f_lo, Solver::ExpandBracket);
        if (rc != kSuccess) return rc;
        rc = evaluate(host, f, user_data, x_hi, &f_hi, Solver::ExpandBracket);
        if (rc != kSuccess) return rc;

        if (std::fabs(f_lo) < tolerance || std::fabs(f_hi) < tolerance) {
            const double x = std::fabs(f_lo) < tolerance ? x_lo : x_hi;
            *x_lo_out = x;
            *x_hi_out = x;
            *f_lo_out = 0.0;
            *f_hi_out = 0.0;
            return kSuccess;
        }
        if (opposite_signs(f_lo, f_hi)) {
            *x_lo_out = x_lo;
            *x_hi_out = x_hi;
            *f_lo_out = f_lo;
            *f_hi_out = f_hi;
            return kSuccess;
        }
        // The initial interval is not an expansion; the pinned-ends stop applies
        // to expansions only.
        if (round >= max_expand) return kExpandFail;
        if (round > 0 && x_lo == x_min && x_hi == x_max) return kExpandFail;
        h = h * grow_factor;
    }
}

template <class Host, class F>
int32_t brent_root(const Host& host, F f, void* user_data, double x_lo, double x_hi, double f_lo, double f_hi,
                   double tol_x, double tol_f, int32_t maxiter, double* root) noexcept {
    if (same_strict_signs(f_lo, f_hi)) return kNoBracket;

    double a = x_lo, fa = f_lo, b = x_hi, fb = f_hi;
    if (std::fabs(f_hi) > std::fabs(f_lo)) {
        a = x_hi, fa = f_hi;
        b = x_lo, fb = f_lo;
    }
    if (maxiter < 1) {
        *root = b;
        return kMaxIter;
    }

    double c = a, fc = fa;
    double d = 0.0;  // not read while mflag is set, i.e. before its first assignment
    bool mflag = true;
    for (int32_t i = 0;;) {
        if (std::fabs(fb) < tol_f || std::fabs(b - a) < tol_x) {
            *root = b;
            return kSuccess;
        }

        // Trial point.  Each denominator is checked before its term is formed.
        // A difference of two values is zero only when they are equal, so a
        // zero denominator with fa == fb (both zero, by (1)) is the degenerate
        // bracket and is reported; otherwise a product of two non-zero
        // differences underflowed, the interpolation is unusable and the step
        // bisects.
        double s = 0.0;
        bool usable = true;
        if (fa != fc && fb != fc) {
            const double den_a = (fa - fb) * (fa - fc);
            const double den_b = (fb - fa) * (fb - fc);
            const double den_c = (fc - fa) * (fc - fb);
            if (den_a == 0.0 || den_b == 0.0 || den_c == 0.0) {
                if (fa == fb) return division_by_zero(host);
                usable = false;
            } else {
                const double term_a = a * fb * fc / den_a;
                const double term_b = b * fa * fc / den_b;
                s = (term_a + term_b) + c * fa * fb / den_c;
            }
        } else {
            const double den = fb - fa;
            if (den == 0.0) return division_by_zero(host);
            s = b - fb * (b - a) / den;
        }

        const double m = (a * 3.0 + b) * 0.25;
        const double lo = m < b ? m : b;
        const double hi = m < b ? b : m;
        const bool bisect = !usable || !(lo < s && s < hi) ||
                            (mflag && std::fabs(s - b) >= std::fabs(b - c) * 0.5) ||
                            (mflag && std::fabs(b - c) < tol_x) ||
                            (!mflag && std::fabs(s - b) >= std::fabs(c - d) * 0.5) ||
                            (!mflag && std::fabs(c - d) < tol_x);
        if (bisect) {
            s = (a + b) * 0.5;
            mflag = true;
        } else {
            mflag = false;
        }

        double fs;
        const int32_t rc = evaluate(host, f, user_data, s, &fs, Solver::BrentRoot);
        if (rc != kSuccess) return rc;

        d = c;
        c = b, fc = fb;
        if (opposite_signs(fa, fs)) {
            b = s, fb = fs;
        } else {
            a = s, fa = fs;
        }
        if (std::fabs(fb) > std::fabs(fa)) {
            const double t = a, ft = fa;
            a = b, fa = fb;
            b = t, fb = ft;
        }

        if (++i == maxiter) {
            *root = b;
            return kMaxIter;
        }
    }
}

template <class Host, class F>
int32_t find_root(const Host& host, F f, void* user_data, double x_guess, double step, double grow_factor,
                  int32_t max_expand, double x_min, double x_max, double tolerance, double tol_x, double tol_f,
                  int32_t maxiter, double* root) noexcept {
    double f_guess;
    int32_t rc = evaluate(host, f, user_data, x_guess, &f_guess, Solver::FindRoot);
    if (rc != kSuccess) return rc;
    if (f_guess == 0.0) {
        *root = x_guess;
        return kSuccess;
    }

    double x_lo, x_hi, f_lo, f_hi;
    rc = expand_bracket(host, f, user_data, x_guess, step, grow_factor, max_expand, x_min, x_max, tolerance, &x_lo,
                        &x_hi, &f_lo, &f_hi);
    if (rc == kError) {
        host.traceback(Solver::FindRoot);
        return kError;
    }
    if (rc != kSuccess) return rc;
    if (x_lo == x_hi) {
        *root = x_lo;
        return kSuccess;
    }

    rc = brent_root(host, f, user_data, x_lo, x_hi, f_lo, f_hi, tol_x, tol_f, maxiter, root);
    if (rc == kError) host.traceback(Solver::FindRoot);
    return rc;
}

}  // namespace detail

// The three solvers, each asking one host of its own.

template <class Host, class F>
int32_t expand_bracket(F f, void* user_data, double x_guess, double step, double grow_factor, int32_t max_expand,
                       double x_min, double x_max, double tolerance, double* x_lo_out, double* x_hi_out,
                       double* f_lo_out, double* f_hi_out) noexcept {
    const Host host{};
    return detail::expand_bracket(host, f, user_data, x_guess, step, grow_factor, max_expand, x_min, x_max,
                                  tolerance, x_lo_out, x_hi_out, f_lo_out, f_hi_out);
}

template <class Host, class F>
int32_t brent_root(F f, void* user_data, double x_lo, double x_hi, double f_lo, double f_hi, double tol_x,
                   double tol_f, int32_t maxiter, double* root) noexcept {
    const Host host{};
    return detail::brent_root(host, f, user_data, x_lo, x_hi, f_lo, f_hi, tol_x, tol_f, maxiter, root);
}

template <class Host, class F>
int32_t find_root(F f, void* user_data, double x_guess, double step, double grow_factor, int32_t max_expand,
                  double x_min, double x_max, double tolerance, double tol_x, double tol_f, int32_t maxiter,
                  double* root) noexcept {
    const Host host{};
    return detail::find_root(host, f, user_data, x_guess, step, grow_factor, max_expand, x_min, x_max, tolerance,
                             tol_x, tol_f, maxiter, root);
}

}  // namespace vq::root::core
