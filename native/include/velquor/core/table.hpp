// The table opacity engine and its O(1) cell search, on a host policy.
//
// A table holds log10 kappa on a rectangular grid: axis 1 is x1 = log10 T,
// axis 2 is either x2 = log10 R = log10 rho - 3 (log10 T - 6) (OPAL-style
// tables) or x2 = log10 rho.  The engine is written once, as a class template
// over an `Axes` description; the two table classes differ only in that.
//
// `Axes` provides:
//   static constexpr bool kRCoupled;       // true: x2 = log10 R, false: x2 = log10 rho
//   static constexpr char kAxis2Label[];   // "log10_g2" / "log10_rho" (domain message)
//   static constexpr char kClassPath[];    // dotted module.Class, prefix of traceback entries
//
// The engine reads a table's data as a TableData (plain pointers and sizes) and
// calls the table's operations through a per-call accessor `T`, so that every
// call from one operation to another goes through the object's method table
// (a subclass's override is honoured) when the engine runs in an extension
// module, and straight to the engine's own operation in plain C++
// (DirectTable below).  `T` provides:
//
//   const TableData& data();   const Host& host();   // the table and its host
//   void coords(log_T, log_rho, &x1, &x2);  int find_cell(x1, x2, &i, &j);
//   double interp(x1, x2, i, j);  double nearest_finite(ci, cj);  double handle_oob(x1, x2);
//   double log_opacity(log_T, log_rho);
//   int search(axis, v);        // _bisect over the table's own grid of axis 1 or 2
//   void raise_outside(const Outside&);   // the domain error of mode 0
//
// Invariants the operations rely on (established when a table is built):
// n1, n2 >= 2; the grids are non-decreasing and free of NaN; lk has shape
// (n1, n2).  Under them every cell index lies in [0, n-2] and every read stays
// inside the arrays, whatever the query point (NaN and infinities included).
//
// Every operation follows the opacity protocol (velquor/core/opacity.hpp): it
// raises through its host, records itself and returns 0 (0.0); it asks the host
// whether an error is pending after each call of another operation, whatever
// came back.  Nothing here allocates.
#pragma once

#include "velquor/core/host.hpp"
#include "velquor/core/status.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace vq::table {

inline constexpr double kLn10 = 2.302585092994046;  ///< ln 10
inline constexpr double kEdgeEps = 1e-9;            ///< [log10] tolerance of the grid edges

// ---------------------------------------------------------------------------
// Cell search on one axis
// ---------------------------------------------------------------------------

/// The documented bisection: lo = 0, hi = n-1; while lo < hi-1, mid = (lo+hi)/2
/// rounded down and lo = mid if val >= arr[mid], else hi = mid; the result is
/// lo.  Below the grid (or NaN) gives 0, at or above the last value n-2, on an
/// interior grid value k gives k.
///
/// Written without a data-dependent branch, so that random query points do not
/// cost a mispredicted branch per halving: the loop always runs
/// ceil(log2(n-1)) rounds, the most the halving can take, and picks lo and hi
/// with conditional moves.  Once hi - lo <= 1, mid == lo and a round can no
/// longer change lo, so the extra rounds leave the answer alone: the probes and
/// decisions, and so the result, are those of the loop above for every array
/// and value (unsorted arrays and NaN included).
inline int bisect(const double* arr, int n, double val) noexcept {
    if (n < 3) return 0;
    const int rounds = std::bit_width(static_cast<unsigned>(n - 2));  // ceil(log2(n - 1))
    std::size_t lo = 0, hi = static_cast<std::size_t>(n) - 1;          // lo + hi cannot overflow
    for (int r = 0; r < rounds; ++r) {
        const std::size_t mid = (lo + hi) >> 1;
        const bool up = __builtin_expect_with_probability(val >= arr[mid], 1, 0.5);  // select, don't branch
        lo = up ? mid : lo;
        hi = up ? hi : mid;
    }
    return static_cast<int>(lo);
}

/// An O(1) cell search over one grid axis, built once per table, answering
/// exactly what bisect() answers on that grid.
///
/// On a non-decreasing grid the bisection's answer for v is the one index k in
/// [0, n-2] with
///     (k == 0 or g[k] <= v)  and  (k == n-2 or not g[k+1] <= v)
/// (and 0 for NaN, which fails every comparison).  The index cuts [g[0],
/// g[n-1]] into equal buckets narrower than the smallest grid step, so a bucket
/// holds at most one grid point, and remembers for each bucket the bisection's
/// answer at its lower edge.  A query takes its bucket with one multiply, adds
/// one compare against the next grid point (without a branch) and checks the
/// characterisation above; a value that fails it (NaN; a value that rounding
/// put into a neighbouring bucket; equal neighbours in one bucket; a grid whose
/// values the caller changed since) is answered by bisect() itself.  So the
/// answer is bisect()'s for every value on every non-decreasing grid.
class AxisIndex {
public:
    static constexpr int32_t kMaxBuckets = 4096;

    /// Buckets wanted for grid `g` of `n` >= 2 points (1 .. kMaxBuckets).
    static int32_t buckets_for(const double* g, int n) noexcept {
        const double span = g[n - 1] - g[0];
        if (!(span > 0.0 && std::isfinite(span))) return 1;
        double step = span;
        for (int k = 1; k < n; ++k) {
            const double d = g[k] - g[k - 1];
            if (d > 0.0 && d < step) step = d;
        }
        const double want = std::ceil(span / step) + 1.0;
        return want < kMaxBuckets ? static_cast<int32_t>(want) : kMaxBuckets;
    }

    /// Build over grid `g` (n >= 2, non-decreasing, no NaN) into `storage` of
    /// `buckets` entries (from buckets_for), which must outlive the index.
    void build(const double* g, int n, int32_t* storage, int32_t buckets) noexcept {
        const double span = g[n - 1] - g[0];
        lo_ = g[0];
        last_ = buckets - 1;
        scale_ = buckets > 1 ? buckets / span : 0.0;
        for (int32_t b = 0; b < buckets; ++b) storage[b] = b == 0 ? 0 : bisect(g, n, lo_ + b / scale_);
        start_ = storage;
    }

    /// bisect(g, n, v) for the grid the index was built over.
    int find(const double* g, int n, double v) const noexcept {
        const double u = (v - lo_) * scale_;
        const int32_t b = u >= 0.0 ? (u < last_ ? static_cast<int32_t>(u) : last_) : 0;  // NaN: bucket 0
        const int k0 = start_[b];
        const int k = k0 + static_cast<int>((g[k0 + 1] <= v) & (k0 < n - 2));  // g[k0 + 1] exists: k0 <= n - 2
        if ((k == 0 || g[k] <= v) && (k == n - 2 || !(g[k + 1] <= v))) return k;
        return bisect(g, n, v);
    }

private:
    double lo_ = 0.0;                 ///< g[0]
    double scale_ = 0.0;              ///< buckets per grid unit (0 with one bucket)
    int32_t last_ = 0;                ///< the last bucket
    const int32_t* start_ = nullptr;  ///< per bucket: the bisection's answer at its lower edge
};

// ---------------------------------------------------------------------------
// The engine
// ---------------------------------------------------------------------------

/// A table as the engine reads it (the object's fields).
struct TableData {
    const double* g1;         ///< [log10 K] grid of axis 1 (log10 T), n1 points
    const double* g2;         ///< grid of axis 2 (log10 R, or log10 rho [g cm^-3]), n2 points
    const double* lk;         ///< [log10 cm^2 g^-1] log10 kappa, (n1, n2) row-major; NaN = missing entry
    int32_t n1, n2;           ///< points per axis
    int32_t oob;              ///< out-of-bounds mode (OutOfBounds; others behave as kRaise)
    double ln10;              ///< ln 10
    const AxisIndex* index1;  ///< cell search over g1
    const AxisIndex* index2;  ///< cell search over g2
};

/// A point outside the grid, and the grid's extent (the domain message).
struct Outside {
    double x1, x2;
    double g1_first, g1_last, g2_first, g2_last;
};

/// A compile-time string, used for traceback names built from a class path.
template <std::size_t N>
struct Name {
    char text[N];
};

template <std::size_t A, std::size_t B>
constexpr Name<A + B - 1> join(const char (&a)[A], const char (&b)[B]) noexcept {
    Name<A + B - 1> out{};
    for (std::size_t k = 0; k + 1 < A; ++k) out.text[k] = a[k];
    for (std::size_t k = 0; k < B; ++k) out.text[A - 1 + k] = b[k];
    return out;
}

template <class Axes>
struct Engine {
    static constexpr auto kTbOpacity = join(Axes::kClassPath, "._opacity");
    static constexpr auto kTbLogOpacity = join(Axes::kClassPath, "._log_opacity");
    static constexpr auto kTbDlogRho = join(Axes::kClassPath, "._dlogkappa_dlogrho");
    static constexpr auto kTbDlogT = join(Axes::kClassPath, "._dlogkappa_dlogT");
    static constexpr auto kTbInterp = join(Axes::kClassPath, "._interp");
    static constexpr auto kTbFindCell = join(Axes::kClassPath, "._find_cell");
    static constexpr auto kTbHandleOob = join(Axes::kClassPath, "._handle_oob");

    static double lk(const TableData& d, int i, int j) noexcept {
        return d.lk[static_cast<std::ptrdiff_t>(i) * d.n2 + j];
    }
    static bool mode(const TableData& d, OutOfBounds m) noexcept { return d.oob == static_cast<int32_t>(m); }

    // -- the six operations of the table ------------------------------------

    static void coords(const TableData& d, double log_T, double log_rho, double* x1_out, double* x2_out) noexcept {
        const double x1 = log_T / d.ln10;
        double x2 = log_rho / d.ln10;
        if constexpr (Axes::kRCoupled) x2 -= 3.0 * (x1 - 6.0);  // log10 R = log10 rho - 3 log10 T6
        *x1_out = x1;
        *x2_out = x2;
    }

    /// Outside (beyond eps of an edge, tested axis 1 then 2): 1 with cell (0, 0).
    /// NaN coordinates fail every comparison: they are inside and land in cell 0.
    template <class T>
    static int find_cell(T& t, double x1, double x2, int* i_out, int* j_out) noexcept {
        const TableData& d = t.data();
        *i_out = 0;
        *j_out = 0;
        if (x1 < d.g1[0] - kEdgeEps || x1 > d.g1[d.n1 - 1] + kEdgeEps || x2 < d.g2[0] - kEdgeEps ||
            x2 > d.g2[d.n2 - 1] + kEdgeEps)
            return 1;
        const int i = t.search(1, x1);
        if (t.host().error_pending()) return fail_int(t, kTbFindCell.text);
        const int j = t.search(2, x2);
        if (t.host().error_pending()) return fail_int(t, kTbFindCell.text);
        *i_out = i < d.n1 - 2 ? i : d.n1 - 2;
        *j_out = j < d.n2 - 2 ? j : d.n2 - 2;
        return 0;
    }

    /// NaN when a corner is missing (before any width is looked at); "float
    /// division" on a zero-width interval, axis 1 first.  Written without a
    /// branch on the table's values, which random queries would mispredict
    /// wherever missing entries are common: the interpolant is formed either way
    /// and a missing corner selects NaN.
    template <class T>
    static double interp(T& t, double x1, double x2, int i, int j) noexcept {
        const TableData& d = t.data();
        const double k00 = lk(d, i, j), k10 = lk(d, i + 1, j), k01 = lk(d, i, j + 1), k11 = lk(d, i + 1, j + 1);
        const bool missing = std::isnan(k00) | std::isnan(k10) | std::isnan(k01) | std::isnan(k11);
        const double w1 = d.g1[i + 1] - d.g1[i], w2 = d.g2[j + 1] - d.g2[j];
        if (!missing && (w1 == 0.0 || w2 == 0.0)) {
            t.host().raise(core::Error::kZeroDivision, core::kFloatDivision);
            return fail(t, kTbInterp.text);
        }
        const double tx = (x1 - d.g1[i]) / w1;
        const double ty = (x2 - d.g2[j]) / w2;
        const double v = (1.0 - tx) * (1.0 - ty) * k00 + tx * (1.0 - ty) * k10 + (1.0 - tx) * ty * k01 + tx * ty * k11;
        return missing ? NAN : v;
    }

    /// Chebyshev rings around (ci, cj), clipped at the edges; within a ring by
    /// increasing row, then increasing column.  Only NaN is skipped.  Off-ring
    /// rows hold just two ring points, so a ring costs O(k), not O(k^2), and the
    /// search stops once a ring covers the whole table.
    static double nearest_finite(const TableData& d, int ci, int cj) noexcept {
        const int n1 = d.n1, n2 = d.n2, max_k = n1 + n2;
        for (int k = 0; k < max_k; ++k) {
            const int i0 = ci - k > 0 ? ci - k : 0, i1 = ci + k < n1 - 1 ? ci + k : n1 - 1;
            const int j0 = cj - k > 0 ? cj - k : 0, j1 = cj + k < n2 - 1 ? cj + k : n2 - 1;
            for (int i = i0; i <= i1; ++i) {
                if (i == ci - k || i == ci + k) {
                    for (int j = j0; j <= j1; ++j)
                        if (!std::isnan(lk(d, i, j))) return lk(d, i, j);
                } else {
                    if (cj - k >= 0 && cj - k <= n2 - 1 && !std::isnan(lk(d, i, cj - k))) return lk(d, i, cj - k);
                    if (k > 0 && cj + k <= n2 - 1 && cj + k >= 0 && !std::isnan(lk(d, i, cj + k)))
                        return lk(d, i, cj + k);
                }
            }
            if (ci - k <= 0 && ci + k >= n1 - 1 && cj - k <= 0 && cj + k >= n2 - 1) break;
        }
        return NAN;
    }

    template <class T>
    static double handle_oob(T& t, double x1, double x2) noexcept {
        const TableData& d = t.data();
        if (mode(d, OutOfBounds::kNan)) return NAN;
        if (mode(d, OutOfBounds::kClamp)) {
            // The nearest finite entry around the edge cell's lower corner.
            int ci = t.search(1, x1);
            if (t.host().error_pending()) return fail(t, kTbHandleOob.text);
            int cj = t.search(2, x2);
            if (t.host().error_pending()) return fail(t, kTbHandleOob.text);
            if (ci > d.n1 - 2) ci = d.n1 - 2;
            if (cj > d.n2 - 2) cj = d.n2 - 2;
            const double v = t.nearest_finite(ci, cj);
            if (t.host().error_pending()) return fail(t, kTbHandleOob.text);
            return v;
        }
        t.raise_outside(Outside{x1, x2, d.g1[0], d.g1[d.n1 - 1], d.g2[0], d.g2[d.n2 - 1]});
        return fail(t, kTbHandleOob.text);
    }

    // -- the grey opacity operations ------------------------------------------

    template <class T>
    static double log_opacity(T& t, double log_T, double log_rho) noexcept {
        const TableData& d = t.data();
        double x1, x2;
        t.coords(log_T, log_rho, &x1, &x2);
        if (t.host().error_pending()) return fail(t, kTbLogOpacity.text);
        int i, j;
        const int outside = t.find_cell(x1, x2, &i, &j);
        if (t.host().error_pending()) return fail(t, kTbLogOpacity.text);
        double log10_kappa;
        if (outside) {
            log10_kappa = t.handle_oob(x1, x2);
            if (t.host().error_pending()) return fail(t, kTbLogOpacity.text);
        } else {
            log10_kappa = t.interp(x1, x2, i, j);
            if (t.host().error_pending()) return fail(t, kTbLogOpacity.text);
            if (mode(d, OutOfBounds::kClamp) && std::isnan(log10_kappa)) {
                log10_kappa = t.nearest_finite(i, j);
                if (t.host().error_pending()) return fail(t, kTbLogOpacity.text);
            }
        }
        return log10_kappa * d.ln10;
    }

    /// exp of the _log_opacity slot (through the table, so an override counts).
    template <class T>
    static double opacity(T& t, double rho, double T_) noexcept {
        const double v = t.log_opacity(std::log(T_), std::log(rho));
        if (t.host().error_pending()) return fail(t, kTbOpacity.text);
        return std::exp(v);
    }

    // Both derivatives are exact partials of the cell's bilinear interpolant of
    // log10 kappa; the two factors ln 10 cancel.  They neither fill holes nor
    // clamp: outside the grid or on a NaN edge value they give 0 (NaN in mode 2).

    template <class T>
    static double dlogkappa_dlogrho(T& t, double log_T, double log_rho) noexcept {
        const TableData& d = t.data();
        int i, j;
        double x1, x2;
        if (!locate(t, log_T, log_rho, &x1, &x2, &i, &j)) return fail(t, kTbDlogRho.text);
        if (i < 0) return no_slope(d);
        double tx;
        if (!fraction(t, x1, d.g1[i], d.g1[i + 1], &tx)) return fail(t, kTbDlogRho.text);
        double dkg2;
        switch (axis2_slope(t, tx, i, j, &dkg2)) {
            case Slope::kError: return fail(t, kTbDlogRho.text);
            case Slope::kMissing: return no_slope(d);
            case Slope::kOk: break;
        }
        return dkg2;
    }

    template <class T>
    static double dlogkappa_dlogT(T& t, double log_T, double log_rho) noexcept {
        const TableData& d = t.data();
        int i, j;
        double x1, x2;
        if (!locate(t, log_T, log_rho, &x1, &x2, &i, &j)) return fail(t, kTbDlogT.text);
        if (i < 0) return no_slope(d);
        double ty;
        if (!fraction(t, x2, d.g2[j], d.g2[j + 1], &ty)) return fail(t, kTbDlogT.text);
        const double ki0 = (1.0 - ty) * lk(d, i, j) + ty * lk(d, i, j + 1);
        if (std::isnan(ki0)) return no_slope(d);
        const double ki1 = (1.0 - ty) * lk(d, i + 1, j) + ty * lk(d, i + 1, j + 1);
        if (std::isnan(ki1)) return no_slope(d);
        const double w1 = d.g1[i + 1] - d.g1[i];
        if (w1 == 0.0) {
            t.host().raise(core::Error::kZeroDivision, core::kFloatDivision);
            return fail(t, kTbDlogT.text);
        }
        const double dkg1 = (ki1 - ki0) / w1;
        if constexpr (!Axes::kRCoupled) {
            return dkg1;
        } else {
            // x2 holds -3 log10 T, so d x2 / d x1 = -3.
            const double tx = (x1 - d.g1[i]) / w1;
            double dkg2;
            switch (axis2_slope(t, tx, i, j, &dkg2)) {
                case Slope::kError: return fail(t, kTbDlogT.text);
                case Slope::kMissing: return no_slope(d);
                case Slope::kOk: break;
            }
            return dkg1 - 3.0 * dkg2;
        }
    }

private:
    enum class Slope { kOk, kMissing, kError };

    /// Value a derivative gives where it cannot be formed (outside, NaN edge).
    static double no_slope(const TableData& d) noexcept { return mode(d, OutOfBounds::kNan) ? NAN : 0.0; }

    /// Fractional position of `x` in [a, b]; "float division" when a == b.
    template <class T>
    static bool fraction(T& t, double x, double a, double b, double* out) noexcept {
        const double w = b - a;
        if (w == 0.0) {
            t.host().raise(core::Error::kZeroDivision, core::kFloatDivision);
            return false;
        }
        *out = (x - a) / w;
        return true;
    }

    /// Slope of log10 kappa along axis 2 at fractional axis-1 position tx in
    /// cell (i, j): kMissing when an edge value is NaN, kError ("float
    /// division") on a zero-width axis-2 interval.
    template <class T>
    static Slope axis2_slope(T& t, double tx, int i, int j, double* out) noexcept {
        const TableData& d = t.data();
        const double k0j = (1.0 - tx) * lk(d, i, j) + tx * lk(d, i + 1, j);
        if (std::isnan(k0j)) return Slope::kMissing;
        const double k0j1 = (1.0 - tx) * lk(d, i, j + 1) + tx * lk(d, i + 1, j + 1);
        if (std::isnan(k0j1)) return Slope::kMissing;
        const double w2 = d.g2[j + 1] - d.g2[j];
        if (w2 == 0.0) {
            t.host().raise(core::Error::kZeroDivision, core::kFloatDivision);
            return Slope::kError;
        }
        *out = (k0j1 - k0j) / w2;
        return Slope::kOk;
    }

    template <class T>
    static double fail(T& t, const char* where) noexcept {
        t.host().traceback(VQ_SITE(where));
        return 0.0;
    }
    template <class T>
    static int fail_int(T& t, const char* where) noexcept {
        t.host().traceback(VQ_SITE(where));
        return 0;
    }

    /// Coordinates and cell of a point through the table's operations; i = -1
    /// when the point is outside.  False with an error pending.
    template <class T>
    static bool locate(T& t, double log_T, double log_rho, double* x1, double* x2, int* i, int* j) noexcept {
        t.coords(log_T, log_rho, x1, x2);
        if (t.host().error_pending()) return false;
        const int outside = t.find_cell(*x1, *x2, i, j);
        if (t.host().error_pending()) return false;
        if (outside) *i = -1;
        return true;
    }
};

/// A table evaluated by the engine's own operations only, with no method table
/// (plain C++: the native tests, or any caller that holds a TableData).
template <class Axes, class Host = core::NoHost>
class DirectTable {
public:
    using E = Engine<Axes>;
    explicit DirectTable(const TableData& d) noexcept : d_(d) {}

    const TableData& data() const noexcept { return d_; }
    const Host& host() const noexcept { return host_; }
    void coords(double log_T, double log_rho, double* x1, double* x2) noexcept { E::coords(d_, log_T, log_rho, x1, x2); }
    int find_cell(double x1, double x2, int* i, int* j) noexcept { return E::find_cell(*this, x1, x2, i, j); }
    int search(int axis, double v) noexcept {
        return axis == 1 ? d_.index1->find(d_.g1, d_.n1, v) : d_.index2->find(d_.g2, d_.n2, v);
    }
    double interp(double x1, double x2, int i, int j) noexcept { return E::interp(*this, x1, x2, i, j); }
    double nearest_finite(int ci, int cj) noexcept { return E::nearest_finite(d_, ci, cj); }
    double handle_oob(double x1, double x2) noexcept { return E::handle_oob(*this, x1, x2); }
    double log_opacity(double log_T, double log_rho) noexcept { return E::log_opacity(*this, log_T, log_rho); }
    void raise_outside(const Outside&) noexcept {}

private:
    const TableData& d_;
    Host host_{};
};

}  // namespace vq::table
