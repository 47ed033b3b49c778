// Spectrum and photometry of a steady, thin, optically thick accretion disk.
//
// Plain C++ with no interpreter dependency: the two entry points are templates
// over a `Host` policy that answers the one question only an embedding can
// answer, how to report an input it refuses, so the extension module
// instantiates them with the interpreter's error reporting and a benchmark or a
// native test can instantiate them with `NoHost`.  A host provides, `noexcept`
// and callable without any lock held:
//
//   static void refuse(const char* argument, std::size_t index, double value);
//
// Nothing here allocates, throws or keeps state; every physical constant comes
// from the caller (`Constants`), so the kernel holds only mathematics.
//
// The emission model
//   Radii are in units of the inner edge R_in and logarithms are natural.  The
//   effective temperature of a disk with zero torque at R_in, fed at Mdot, is
//       T^4 = T*^4 r^-3 (1 - r^-1/2),   T*^4 = t4_coef M_BH Mdot / R_in^3,
//   and, when the emission is Eddington-limited, the flux per face is capped at
//   L_Edd / (4 pi r^2), i.e. T^4 <= Tc^4 r^-2 with Tc^4 = tcap4_coef M_BH / R_in^2.
//   The cap binds on an annulus [r_a, r_b] exactly when R_sph / R_in =
//   T*^4 / Tc^4 exceeds 27/4; its edges are the two roots in (0, 1) of
//   q^3 - q^2 + R_in / R_sph = 0, q = r^-1/2 (closed form below).  A ring
//   radiates B_nu(f T) / f^4 per unit area and solid angle, with f the colour
//   correction (a constant, or the rule of Done et al. 2012, which depends on T
//   only), and L_nu = 4 pi^2 R_in^2 * integral over r of that intensity times r dr
//   (both faces, angle-integrated).
//
// The radial quadrature
//   T(r) rises from 0 at r = 1 to its maximum at r_p (49/36, or r_a when the cap
//   binds before it, or the outer edge R when that comes first) and falls
//   beyond.  The integrand is split into panels integrated with 6-point
//   Gauss-Legendre rules:
//     - on the rising side in s = (r - 1)^(1/4), in which T is smooth (T ~ s at
//       the inner edge, where it has an infinite slope in r);
//     - on the falling side in u = ln r.
//   Panels are graded toward r_p from both sides (widths halving toward it), as
//   many times as the steepness of the emission at the peak asks: with
//   beta = d ln G / d ln T at the peak temperature (the Wien exponent
//   h nu / k T for a monochromatic spectrum) and level L = ceil(log2 beta),
//   the rising side is halved L + 1 times toward the peak and the first
//   falling panel is 2^-L wide in ln r, so the emission of a band whose Wien
//   tail is concentrated at the peak is resolved by panels as narrow as
//   1 / beta.  Nodes depend on beta only through L: consecutive points with
//   one disk state and one level (the bands of one epoch) share them.  Beyond
//   the grading, panels are a factor kPanelRatio wide in r.
//   Every radius where the integrand is not smooth is a panel edge: r_p, the cap
//   edges, and with the Done et al. rule the radii where T crosses 3e4 K or
//   1e5 K (the rule has a kink at the first and a small jump at the second).
//   Together these keep the relative error of a panel sum below ~1e-7 (measured
//   against dense quadrature for 1 <= beta <= 200, 1 < R <= 1e5 and rates from
//   1e-3 to 1e3 times Eddington, with and without the cap).
//
// Photometry from tables
//   A band's average over frequency of the ring emission depends on the ring's
//   temperature only, so the caller tabulates ln G(T) for each channel once and
//   every (time, band) point costs one radial quadrature of table look-ups.  The
//   table is piecewise cubic in x = (ln T - ln_t0) / h, one row of four
//   coefficients per interval (value, and derivatives, matched at both ends of
//   each interval, so the interpolant is exact Hermite interpolation of the
//   caller's ln G and d ln G / d ln T); outside it ln G continues linearly with
//   the end slope (exact for Rayleigh-Jeans emission at the hot end, and a fast
//   decline in the Wien regime at the cold end).  A channel may hold several
//   tables for a grid of one more parameter (host extinction); the caller then
//   gives four table indices and Lagrange weights and the kernel interpolates
//   ln G between them.  A constant colour correction is applied at look-up:
//   G_f(T) = G_1(f T) / f^4.  The falling side stops early once a bound on the
//   rest of the disk (the largest tabulated G at or below the current
//   temperature, times the remaining area) is below 1e-18 of the sum so far.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace vq::spectrum {

inline constexpr double kPi = 3.14159265358979323846;

/// Physical constants of the emission model, CGS, given by the caller.
struct Constants {
    double t4_coef;        ///< 3 G / (8 pi sigma_SB)  [K^4 cm^3 s g^-2]: T*^4 R_in^3 / (M_BH Mdot)
    double tcap4_coef;     ///< G c / (kappa_es sigma_SB)  [K^4 cm^2 g^-1]: Tc^4 R_in^2 / M_BH
    double h_over_k;       ///< h / k_B  [K s]
    double two_h_over_c2;  ///< 2 h / c^2  [erg s^3 cm^-2]
    double t_done;         ///< 72 keV / k_B  [K] (Done et al. 2012 colour correction)
};
static_assert(sizeof(Constants) == 5 * sizeof(double), "Constants is read from a float64 array of 5");

/// The black hole and the emission options shared by every point of a call.
struct Disk {
    double M_BH;             ///< black-hole mass [g]
    double R_in;             ///< inner edge [cm]
    double f_col;            ///< constant colour correction (>= 1); ignored with done12
    bool done12;             ///< temperature-dependent colour correction of Done et al. (2012)
    bool eddington_limited;  ///< cap the flux per face at L_Edd / (4 pi r^2)
};

/// Host for code that runs outside any interpreter: refusals are reported by the
/// status alone.
struct NoHost {
    static void refuse(const char*, std::size_t, double) noexcept {}
};

inline constexpr int kGaussOrder = 6;
inline constexpr double kGaussX[kGaussOrder / 2] = {0.2386191860831969, 0.6612093864662645, 0.9324695142031521};
inline constexpr double kGaussW[kGaussOrder / 2] = {0.4679139345726910, 0.3607615730481386, 0.1713244923791704};
inline constexpr double kPanelRatio = 4.0;        ///< width in r of the ungraded falling-side panels
inline constexpr double kMaxRadiusRatio = 1e12;   ///< largest R_out / R_in accepted
inline constexpr double kMaxBeta = 4096.0;        ///< steepness beyond which the grading stops refining
inline constexpr int kMaxPanels = 96;
inline constexpr int kMaxNodes = kMaxPanels * kGaussOrder;
inline constexpr double kDoneLow = 3e4;   ///< [K] below: f = 1
inline constexpr double kDoneHigh = 1e5;  ///< [K] above: f = (t_done / T)^(1/9); between: (T / 3e4 K)^0.82

// ---------------------------------------------------------------------------
// Colour correction and the Planck function
// ---------------------------------------------------------------------------

/// ln f of the Done et al. (2012) rule at ln T.
inline double log_f_done(double log_t, double log_t_done) noexcept {
    static const double log_low = std::log(kDoneLow), log_high = std::log(kDoneHigh);
    if (log_t < log_low) return 0.0;
    if (log_t <= log_high) return 0.82 * (log_t - log_low);
    return (log_t_done - log_t) / 9.0;
}

/// B_nu(T_col) / f^4 [erg s^-1 cm^-2 Hz^-1 sr^-1] at frequency nu for a ring at
/// ln T with ln f; 0 when the exponent overflows.
inline double ring_intensity(double nu, double log_t, double log_f, const Constants& k) noexcept {
    const double x = k.h_over_k * nu * std::exp(-(log_t + log_f));
    if (!(x < 700.0)) return 0.0;
    return k.two_h_over_c2 * nu * nu * nu / std::expm1(x) * std::exp(-4.0 * log_f);
}

// ---------------------------------------------------------------------------
// The temperature profile
// ---------------------------------------------------------------------------

/// One (Mdot, R_out) of a disk, in R_in units, with its landmarks.
struct Profile {
    double log_t4_star;  ///< ln T*^4
    double log_tc4;      ///< ln Tc^4 (cap), used when capped
    bool capped;         ///< the cap binds somewhere (R_sph > 27/4 R_in and eddington_limited)
    double r_a, r_b;     ///< edges of the capped annulus (r_a < r_b), when capped
    double R;            ///< outer edge
    double r_p;          ///< radius of the temperature maximum, <= R
    double log_t_max;    ///< ln T at r_p

    /// ln T^4 at ln r, with 1 - r^-1/2 given (accurately, also near r = 1).
    double log_t4(double log_r, double one_minus_q) const noexcept {
        const double thin = log_t4_star - 3.0 * log_r + std::log(one_minus_q);
        if (!capped) return thin;
        const double cap = log_tc4 - 2.0 * log_r;
        return cap < thin ? cap : thin;
    }
    double log_t_at_log_r(double log_r) const noexcept {
        return 0.25 * log_t4(log_r, -std::expm1(-0.5 * log_r));
    }
};

inline Profile make_profile(const Disk& d, const Constants& k, double mdot, double r_out) noexcept {
    Profile p{};
    p.log_t4_star = std::log(k.t4_coef * d.M_BH * mdot) - 3.0 * std::log(d.R_in);
    p.log_tc4 = std::log(k.tcap4_coef * d.M_BH) - 2.0 * std::log(d.R_in);
    p.R = r_out / d.R_in;
    const double eps = std::exp(p.log_tc4 - p.log_t4_star);  // R_in / R_sph
    p.capped = d.eddington_limited && eps < 4.0 / 27.0;
    p.r_p = 49.0 / 36.0;
    if (p.capped) {
        // q^3 - q^2 + eps = 0: with q = t + 1/3, t^3 - t/3 + (eps - 2/27) = 0, whose
        // roots are t_k = (2/3) cos(phi/3 - 2 pi k / 3), phi = arccos(1 - 27 eps / 2).
        const double phi = std::acos(1.0 - 13.5 * eps);
        const double q_a = 1.0 / 3.0 + 2.0 / 3.0 * std::cos(phi / 3.0);
        const double q_b = 1.0 / 3.0 + 2.0 / 3.0 * std::cos(phi / 3.0 - 2.0 * kPi / 3.0);
        p.r_a = 1.0 / (q_a * q_a);
        p.r_b = 1.0 / (q_b * q_b);
        if (p.r_a < p.r_p) p.r_p = p.r_a;
    }
    if (p.R < p.r_p) p.r_p = p.R;
    p.log_t_max = p.log_t_at_log_r(std::log(p.r_p));
    return p;
}

namespace detail {

/// Root of an increasing, concave g by Newton's method from x0 left of the root
/// (the iterates then rise monotonically to it), never beyond x_hi.
template <class G>
inline double newton_from_left(G&& g, double x0, double x_hi) noexcept {
    double x = x0;
    for (int it = 0; it < 60; ++it) {
        double dg;
        const double value = g(x, &dg);
        const double next = std::min(x - value / dg, x_hi);
        if (!(next > 0.0)) break;
        const bool done = std::fabs(next - x) <= 1e-15 * x;
        x = next;
        if (done) break;
    }
    return x;
}

}  // namespace detail

/// Radii (in R_in units) on the rising and falling sides where ln T^4 equals
/// `log_t4_level`, written as s = (r - 1)^(1/4) and u = ln r; a side without a
/// crossing inside the disk gets NaN.  Newton's method on the thin-disk profile
/// in q = r^-1/2 (concave and monotone on each side, started on the side of the
/// root where the iterates approach it monotonically), or the closed form on
/// the capped annulus.
inline void level_crossings(const Profile& p, double log_t4_level, double* s_rise, double* u_fall) noexcept {
    const double nan = std::nan("");
    *s_rise = nan;
    *u_fall = nan;
    if (!(4.0 * p.log_t_max > log_t4_level)) return;
    const double c = log_t4_level - p.log_t4_star;
    // Rising side: ln w + 6 ln(1 - w) = c with w = 1 - q in (0, 1 - q_p); increasing, concave.
    {
        const double w_p = 1.0 - 1.0 / std::sqrt(p.r_p);
        const double w = detail::newton_from_left(
            [c](double v, double* dg) { *dg = 1.0 / v - 6.0 / (1.0 - v); return std::log(v) + 6.0 * std::log1p(-v) - c; },
            std::min(std::exp(c), w_p), w_p);
        // r - 1 = (1 - q^2) / q^2 = w (2 - w) / (1 - w)^2
        const double rm1 = w * (2.0 - w) / ((1.0 - w) * (1.0 - w));
        if (1.0 + rm1 < p.r_p) *s_rise = std::sqrt(std::sqrt(rm1));
    }
    // Falling side, segment by segment outward: thin up to the cap (when it starts
    // beyond the peak), the capped annulus, thin beyond it.
    if (p.r_p >= p.R) return;
    double u;
    const bool cap_after_peak = p.capped && p.r_b > p.r_p;
    const double r_cap_start = cap_after_peak ? std::max(p.r_a, p.r_p) : p.R;
    if (cap_after_peak && log_t4_level <= p.log_tc4 - 2.0 * std::log(r_cap_start) &&
        log_t4_level >= p.log_tc4 - 2.0 * std::log(p.r_b)) {
        u = 0.5 * (p.log_tc4 - log_t4_level);  // on the capped annulus
    } else {
        // 6 ln q + ln(1 - q) = c on a thin segment [q_lo, q_hi] (q < 6/7: increasing,
        // concave); exp(c / 6) and the segment's outer end both lie left of the root.
        double q_lo = 0.0, q_hi = 1.0 / std::sqrt(p.r_p);
        if (cap_after_peak) {
            if (log_t4_level > p.log_tc4 - 2.0 * std::log(r_cap_start)) q_lo = 1.0 / std::sqrt(r_cap_start);
            else q_hi = 1.0 / std::sqrt(p.r_b);
        }
        const double q = detail::newton_from_left(
            [c](double v, double* dg) { *dg = 6.0 / v - 1.0 / (1.0 - v); return 6.0 * std::log(v) + std::log1p(-v) - c; },
            std::min(std::max(std::exp(c / 6.0), q_lo), q_hi), q_hi);
        u = -2.0 * std::log(q);
    }
    if (u > std::log(p.r_p) && u < std::log(p.R)) *u_fall = u;
}

// ---------------------------------------------------------------------------
// Quadrature nodes
// ---------------------------------------------------------------------------

/// Nodes of one radial quadrature: ln T and weight (r dr in R_in^2) per node,
/// and the panels of the falling side (for the early stop).
struct Nodes {
    int n = 0;            ///< nodes written
    int n_rising = 0;     ///< the first n_rising nodes lie on the rising side
    int n_fall_panels = 0;
    double fall_edge_u[kMaxPanels];  ///< start (ln r) of each falling-side panel
    double log_t[kMaxNodes];
    double weight[kMaxNodes];
};

namespace detail {

inline void sort_unique(double* v, int* n, double tiny) noexcept {
    std::sort(v, v + *n);
    int m = 0;
    for (int i = 0; i < *n; ++i)
        if (m == 0 || v[i] - v[m - 1] > tiny) v[m++] = v[i];
    *n = m;
}

}  // namespace detail

/// Grading level of a steepness beta: ceil(log2(beta)) for beta in [1, kMaxBeta]
/// (0 below, and for NaN).  Nodes depend on beta only through it, so points
/// that share a disk state and a level share their nodes.
inline int grading_level(double beta) noexcept {
    if (!(beta > 1.0)) return 0;
    if (beta > kMaxBeta) beta = kMaxBeta;
    return static_cast<int>(std::ceil(std::log2(beta)));
}

/// Build the nodes for one profile at a grading level (grading_level());
/// `extra_levels` are ln T^4 values whose crossings become panel edges.
inline void build_nodes(const Profile& p, int level, const double* extra_levels, int n_levels, Nodes* out) noexcept {
    const int grading = level + 1;

    // Rising side, in s.
    double rise[kMaxPanels];
    int n_rise = 0;
    const double s_p = std::sqrt(std::sqrt(p.r_p - 1.0));
    rise[n_rise++] = 0.0;
    for (int j = 1; j <= grading; ++j) rise[n_rise++] = s_p * (1.0 - std::ldexp(1.0, -j));
    rise[n_rise++] = s_p;

    // Falling side, in u = ln r.
    double fall[kMaxPanels];
    int n_fall = 0;
    const double u_p = std::log(p.r_p), u_R = std::log(p.R);
    if (u_R > u_p) {
        const double widest = std::log(kPanelRatio);
        double u = u_p, step = std::ldexp(1.0, -level);
        fall[n_fall++] = u;
        while (u < u_R && n_fall < kMaxPanels - 24) {
            u += std::min(step, widest);
            step *= 2.0;
            fall[n_fall++] = std::min(u, u_R);
        }
        fall[n_fall - 1] = u_R;
        if (p.capped) {
            if (p.r_a > p.r_p && p.r_a < p.R) fall[n_fall++] = std::log(p.r_a);
            if (p.r_b > p.r_p && p.r_b < p.R) fall[n_fall++] = std::log(p.r_b);
        }
    }
    for (int l = 0; l < n_levels; ++l) {
        double s, u;
        level_crossings(p, extra_levels[l], &s, &u);
        if (s == s) rise[n_rise++] = s;
        if (u == u && n_fall > 0) fall[n_fall++] = u;
    }
    detail::sort_unique(rise, &n_rise, 1e-15 * (s_p > 0.0 ? s_p : 1.0));
    detail::sort_unique(fall, &n_fall, 1e-14);

    int n = 0;
    for (int i = 0; i + 1 < n_rise; ++i) {
        const double a = rise[i], b = rise[i + 1], half = 0.5 * (b - a), mid = 0.5 * (a + b);
        for (int g = 0; g < kGaussOrder; ++g) {
            const double x = g < kGaussOrder / 2 ? -kGaussX[kGaussOrder / 2 - 1 - g] : kGaussX[g - kGaussOrder / 2];
            const double w = g < kGaussOrder / 2 ? kGaussW[kGaussOrder / 2 - 1 - g] : kGaussW[g - kGaussOrder / 2];
            const double s = mid + half * x;
            const double s2 = s * s, s4 = s2 * s2;
            const double log_r = std::log1p(s4);
            out->log_t[n] = 0.25 * p.log_t4(log_r, -std::expm1(-0.5 * log_r));
            out->weight[n] = w * half * 4.0 * s2 * s * (1.0 + s4);  // r dr = (1 + s^4) 4 s^3 ds
            ++n;
        }
    }
    out->n_rising = n;
    out->n_fall_panels = 0;
    for (int i = 0; i + 1 < n_fall; ++i) {
        const double a = fall[i], b = fall[i + 1], half = 0.5 * (b - a), mid = 0.5 * (a + b);
        out->fall_edge_u[out->n_fall_panels++] = a;
        for (int g = 0; g < kGaussOrder; ++g) {
            const double x = g < kGaussOrder / 2 ? -kGaussX[kGaussOrder / 2 - 1 - g] : kGaussX[g - kGaussOrder / 2];
            const double w = g < kGaussOrder / 2 ? kGaussW[kGaussOrder / 2 - 1 - g] : kGaussW[g - kGaussOrder / 2];
            const double u = mid + half * x;
            out->log_t[n] = 0.25 * p.log_t4(u, -std::expm1(-0.5 * u));
            out->weight[n] = w * half * std::exp(2.0 * u);  // r dr = r^2 du
            ++n;
        }
    }
    out->n = n;
}

/// ln T^4 levels whose crossings are panel edges for the colour rule in use.
inline int colour_levels(const Disk& d, double* levels) noexcept {
    if (!d.done12) return 0;
    levels[0] = 4.0 * std::log(kDoneLow);
    levels[1] = 4.0 * std::log(kDoneHigh);
    return 2;
}

// ---------------------------------------------------------------------------
// Monochromatic spectrum
// ---------------------------------------------------------------------------

/// Input checks shared by both entry points: Mdot > 0 and R_in < R_out <=
/// kMaxRadiusRatio R_in, all finite.  False after reporting to the host.
template <class Host>
inline bool check_point(const Disk& d, double mdot, double r_out, std::size_t i) noexcept {
    if (!(mdot > 0.0) || !std::isfinite(mdot)) {
        Host::refuse("Mdot", i, mdot);
        return false;
    }
    if (!(r_out > d.R_in) || !(r_out <= kMaxRadiusRatio * d.R_in)) {
        Host::refuse("R_out", i, r_out);
        return false;
    }
    return true;
}

/// L_nu [erg s^-1 Hz^-1] (both faces, angle-integrated) at `n_nu` frequencies
/// for each of `n` (Mdot, R_out) pairs, row-major into out[n][n_nu].  Returns 0,
/// or -1 after the host refused an input.
template <class Host>
int spectrum(const Disk& d, const Constants& k, const double* nu, std::size_t n_nu, const double* mdot,
             const double* r_out, std::size_t n, double* out) noexcept {
    double levels[2];
    const int n_levels = colour_levels(d, levels);
    const double log_t_done = std::log(k.t_done);
    const double log_f_const = std::log(d.f_col);
    const double scale = 4.0 * kPi * kPi * d.R_in * d.R_in;
    Nodes nodes;
    for (std::size_t i = 0; i < n; ++i) {
        if (!check_point<Host>(d, mdot[i], r_out[i], i)) return -1;
        const Profile p = make_profile(d, k, mdot[i], r_out[i]);
        const double log_f_peak = d.done12 ? log_f_done(p.log_t_max, log_t_done) : log_f_const;
        const double t_col_peak = std::exp(p.log_t_max + log_f_peak);
        int built_level = -1;
        for (std::size_t j = 0; j < n_nu; ++j) {
            const double x = k.h_over_k * nu[j] / t_col_peak;
            const int level = grading_level(x > 1e-8 ? x / -std::expm1(-x) : 1.0);
            if (j == 0 || level != built_level) build_nodes(p, level, levels, n_levels, &nodes);
            built_level = level;
            double sum = 0.0;
            for (int m = 0; m < nodes.n; ++m) {
                const double lf = d.done12 ? log_f_done(nodes.log_t[m], log_t_done) : log_f_const;
                sum += nodes.weight[m] * ring_intensity(nu[j], nodes.log_t[m], lf, k);
            }
            out[i * n_nu + j] = scale * sum;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Photometry from tables
// ---------------------------------------------------------------------------

/// The tabulated channels: ln G on a uniform grid in ln T.
struct Tables {
    const double* coef;   ///< [n_channels][n_grid][n_intervals][4], polynomial in t = x - floor(x)
    const double* bound;  ///< [n_channels][n_intervals + 1]: ln of max G at or below each node
    double log_t0;        ///< ln T at x = 0
    double h;             ///< grid step in ln T
    int n_intervals;
    int n_channels;
    int n_grid;           ///< tables per channel (1, or a grid of host extinction)
};

/// Interpolation between tables of a channel: up to four table indices and weights.
struct GridWeights {
    int index[4];
    double weight[4];
    int n;
};

namespace detail {

/// ln G of one table at x (grid units), extended linearly beyond both ends.
inline double table_value(const double* c, int n_int, double x) noexcept {
    if (x < 0.0) return c[0] + c[1] * x;
    if (x >= n_int) {
        const double* e = c + 4 * (n_int - 1);
        return (e[0] + e[1] + e[2] + e[3]) + (e[1] + 2.0 * e[2] + 3.0 * e[3]) * (x - n_int);
    }
    const int i = static_cast<int>(x);
    const double t = x - i;
    const double* e = c + 4 * i;
    return e[0] + t * (e[1] + t * (e[2] + t * e[3]));
}

/// d ln G / d ln T of one table at x.
inline double table_slope(const double* c, int n_int, double x, double h) noexcept {
    if (x < 0.0) return c[1] / h;
    const int i = x >= n_int ? n_int - 1 : static_cast<int>(x);
    const double t = x >= n_int ? 1.0 : x - i;
    const double* e = c + 4 * i;
    return (e[1] + t * (2.0 * e[2] + 3.0 * t * e[3])) / h;
}

}  // namespace detail

/// Band values for `n` points: out[i] = prefactor[channel[i]] * 4 pi^2 R_in^2 *
/// sum over nodes of weight * G_channel(T) (with the constant colour correction
/// applied at look-up, and ln G interpolated between the channel's tables with
/// `gw`).  `channel` holds channel indices as doubles.  Returns 0, or -1 after
/// the host refused an input.
template <class Host>
int photometry(const Disk& d, const Constants& k, const Tables& tab, const GridWeights& gw, const double* prefactor,
               const double* mdot, const double* r_out, const double* channel, std::size_t n, double* out) noexcept {
    double levels[2];
    const int n_levels = colour_levels(d, levels);
    const double log_f = d.done12 ? 0.0 : std::log(d.f_col);
    const double f_m4 = d.done12 ? 1.0 : std::exp(-4.0 * log_f);
    const double scale = 4.0 * kPi * kPi * d.R_in * d.R_in;
    const std::size_t stride = static_cast<std::size_t>(tab.n_intervals) * 4;
    const double inv_h = 1.0 / tab.h;
    Nodes nodes;
    Profile p{};
    double built_mdot = -1.0, built_r_out = -1.0;
    int built_level = -1;
    for (std::size_t i = 0; i < n; ++i) {
        const double ch = channel[i];
        if (!(ch >= 0.0 && ch < tab.n_channels && ch == std::floor(ch))) {
            Host::refuse("channel", i, ch);
            return -1;
        }
        if (!check_point<Host>(d, mdot[i], r_out[i], i)) return -1;
        const int c = static_cast<int>(ch);
        const double* base = tab.coef + static_cast<std::size_t>(c) * tab.n_grid * stride;
        const double* bound = tab.bound + static_cast<std::size_t>(c) * (tab.n_intervals + 1);

        auto log_g = [&](double log_t) noexcept {
            const double x = (log_t + log_f - tab.log_t0) * inv_h;
            double v = 0.0;
            for (int m = 0; m < gw.n; ++m)
                v += gw.weight[m] * detail::table_value(base + gw.index[m] * stride, tab.n_intervals, x);
            return v;
        };

        const bool same_disk = mdot[i] == built_mdot && r_out[i] == built_r_out;
        if (!same_disk) p = make_profile(d, k, mdot[i], r_out[i]);
        const double x_peak = (p.log_t_max + log_f - tab.log_t0) * inv_h;
        double beta = 0.0;
        for (int m = 0; m < gw.n; ++m)
            beta += gw.weight[m] * detail::table_slope(base + gw.index[m] * stride, tab.n_intervals, x_peak, tab.h);
        const int level = grading_level(beta);
        if (!same_disk || level != built_level) {
            // consecutive points of one epoch (several bands) share their nodes
            build_nodes(p, level, levels, n_levels, &nodes);
            built_mdot = mdot[i];
            built_r_out = r_out[i];
            built_level = level;
        }

        double sum = 0.0;
        int m = 0;
        for (; m < nodes.n_rising; ++m) sum += nodes.weight[m] * std::exp(log_g(nodes.log_t[m]));
        const double R2 = p.R * p.R;
        for (int panel = 0; panel < nodes.n_fall_panels; ++panel) {
            // Everything from here out is cooler: bound it by the hottest table entry at or below.
            const double u = nodes.fall_edge_u[panel];
            const double x = (p.log_t_at_log_r(u) + log_f - tab.log_t0) * inv_h;
            const int node = x < 0.0 ? 0 : x >= tab.n_intervals ? tab.n_intervals : static_cast<int>(x) + 1;
            const double rest = 0.5 * (R2 - std::exp(2.0 * u)) * std::exp(bound[node]);
            if (sum > 0.0 && rest < 1e-18 * sum && x <= tab.n_intervals) break;
            for (int g = 0; g < kGaussOrder; ++g, ++m) sum += nodes.weight[m] * std::exp(log_g(nodes.log_t[m]));
        }
        out[i] = prefactor[c] * scale * f_m4 * sum;
    }
    return 0;
}

}  // namespace vq::spectrum
