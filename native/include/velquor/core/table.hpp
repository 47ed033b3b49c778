// Interpolation engine of the table opacities.
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
// Invariants the operations rely on (established when the object is built):
// _n1, _n2 >= 2; the grids are non-decreasing and free of NaN; _lk has shape
// (_n1, _n2).  Under them every cell index lies in [0, n-2] and every read stays
// inside the arrays, whatever the query point (NaN and infinities included).
//
// Every operation follows the opacity error protocol: it may run without the
// interpreter lock; it raises by setting an exception under the lock, adds a
// traceback entry naming itself and returns 0 (0.0); it calls the other
// operations only through the object's method table and asks
// vq::error_pending() after each such call, whatever came back (an operation
// that asks several times finds the calling thread's state once).  Nothing here
// allocates except to build an exception.
#pragma once

#include "velquor/bind/capi.hpp"
#include "velquor/bind/opacity.hpp"

#include <bit>
#include <cmath>
#include <cstddef>

namespace vq::table {

inline constexpr double kLn10 = 2.302585092994046;  ///< ln 10
inline constexpr double kEdgeEps = 1e-9;            ///< [log10] tolerance of the grid edges
inline constexpr int kRaise = 0, kClamp = 1, kNan = 2;

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
    using Obj = TableOpacityObject;

    static constexpr auto kTbOpacity = join(Axes::kClassPath, "._opacity");
    static constexpr auto kTbLogOpacity = join(Axes::kClassPath, "._log_opacity");
    static constexpr auto kTbDlogRho = join(Axes::kClassPath, "._dlogkappa_dlogrho");
    static constexpr auto kTbDlogT = join(Axes::kClassPath, "._dlogkappa_dlogT");
    static constexpr auto kTbInterp = join(Axes::kClassPath, "._interp");
    static constexpr auto kTbFindCell = join(Axes::kClassPath, "._find_cell");
    static constexpr auto kTbHandleOob = join(Axes::kClassPath, "._handle_oob");

    static Obj* table(GreyOpacityObject* o) noexcept { return reinterpret_cast<Obj*>(o); }
    static const TableOpacityVTable* vt(const Obj* self) noexcept { return vq::opacity::table_vtab(self); }
    static const double* g1(const Obj* s) noexcept { return s->_g1.data(); }
    static const double* g2(const Obj* s) noexcept { return s->_g2.data(); }
    static double lk(const Obj* s, int i, int j) noexcept {
        return s->_lk.data()[static_cast<std::ptrdiff_t>(i) * s->_n2 + j];
    }

    /// Value a derivative gives where it cannot be formed (outside, NaN edge).
    static double no_slope(const Obj* s) noexcept { return s->_oob == kNan ? NAN : 0.0; }

    /// Fractional position of `x` in [a, b]; "float division" when a == b.
    static bool fraction(double x, double a, double b, double* t) noexcept {
        const double w = b - a;
        if (w == 0.0) {
            vq::raise_float_division();
            return false;
        }
        *t = (x - a) / w;
        return true;
    }

    // -- grid operations --------------------------------------------------

    /// Binary search: lo = 0, hi = n-1; while lo < hi-1, mid = (lo+hi)/2 rounded
    /// down and lo = mid if val >= arr[mid], else hi = mid; the result is lo.
    /// Below the grid (or NaN) gives 0, at or above the last value n-2, on an
    /// interior grid value k gives k.
    ///
    /// Written without a data-dependent branch, so that random query points do
    /// not cost a mispredicted branch per halving: the loop always runs
    /// ceil(log2(n-1)) rounds, the most the halving can take, and picks lo and
    /// hi with conditional moves.  Once hi - lo <= 1, mid == lo and a round can
    /// no longer change lo, so the extra rounds leave the answer alone: the
    /// probes and decisions, and so the result, are those of the loop above for
    /// every array and value (unsorted arrays and NaN included).
    static int bisect(Obj*, const double* arr, int n, double val) noexcept {
        if (n < 3) return 0;
        const int rounds = std::bit_width(static_cast<unsigned>(n - 2));  // ceil(log2(n - 1))
        std::size_t lo = 0, hi = static_cast<std::size_t>(n) - 1;  // lo + hi cannot overflow
        for (int r = 0; r < rounds; ++r) {
            const std::size_t mid = (lo + hi) >> 1;
            const bool up = __builtin_expect_with_probability(val >= arr[mid], 1, 0.5);  // select, don't branch
            lo = up ? mid : lo;
            hi = up ? hi : mid;
        }
        return static_cast<int>(lo);
    }

    static void coords(Obj* s, double log_T, double log_rho, double* x1_out, double* x2_out) noexcept {
        const double x1 = log_T / s->_LN10;
        double x2 = log_rho / s->_LN10;
        if constexpr (Axes::kRCoupled) x2 -= 3.0 * (x1 - 6.0);  // log10 R = log10 rho - 3 log10 T6
        *x1_out = x1;
        *x2_out = x2;
    }

    static int find_cell(Obj* s, double x1, double x2, int* i_out, int* j_out) noexcept {
        return find_cell_with(s, x1, x2, i_out, j_out, nullptr);
    }

    static double interp(Obj* s, double x1, double x2, int i, int j) noexcept {
        const double k00 = lk(s, i, j), k10 = lk(s, i + 1, j), k01 = lk(s, i, j + 1), k11 = lk(s, i + 1, j + 1);
        if (std::isnan(k00) || std::isnan(k10) || std::isnan(k01) || std::isnan(k11)) return NAN;
        double tx, ty;
        if (!fraction(x1, g1(s)[i], g1(s)[i + 1], &tx) || !fraction(x2, g2(s)[j], g2(s)[j + 1], &ty))
            return fail(kTbInterp.text);
        return (1.0 - tx) * (1.0 - ty) * k00 + tx * (1.0 - ty) * k10 + (1.0 - tx) * ty * k01 + tx * ty * k11;
    }

    /// Chebyshev rings around (ci, cj), clipped at the edges; within a ring by
    /// increasing row, then increasing column.  Only NaN is skipped.  Off-ring
    /// rows hold just two ring points, so a ring costs O(k), not O(k^2), and the
    /// search stops once a ring covers the whole table.
    static double nearest_finite(Obj* s, int ci, int cj) noexcept {
        const int n1 = s->_n1, n2 = s->_n2, max_k = n1 + n2;
        for (int k = 0; k < max_k; ++k) {
            const int i0 = ci - k > 0 ? ci - k : 0, i1 = ci + k < n1 - 1 ? ci + k : n1 - 1;
            const int j0 = cj - k > 0 ? cj - k : 0, j1 = cj + k < n2 - 1 ? cj + k : n2 - 1;
            for (int i = i0; i <= i1; ++i) {
                if (i == ci - k || i == ci + k) {
                    for (int j = j0; j <= j1; ++j)
                        if (!std::isnan(lk(s, i, j))) return lk(s, i, j);
                } else {
                    if (cj - k >= 0 && cj - k <= n2 - 1 && !std::isnan(lk(s, i, cj - k))) return lk(s, i, cj - k);
                    if (k > 0 && cj + k <= n2 - 1 && cj + k >= 0 && !std::isnan(lk(s, i, cj + k)))
                        return lk(s, i, cj + k);
                }
            }
            if (ci - k <= 0 && ci + k >= n1 - 1 && cj - k <= 0 && cj + k >= n2 - 1) break;
        }
        return NAN;
    }

    static double handle_oob(Obj* s, double x1, double x2) noexcept {
        if (s->_oob == kNan) return NAN;
        if (s->_oob == kClamp) {
            // The nearest finite entry around the edge cell's lower corner.
            const vq::ThreadErrors errors = vq::thread_errors();
            int ci = vt(s)->_bisect(s, g1(s), s->_n1, x1);
            if (vq::error_pending(errors)) return fail(kTbHandleOob.text);
            int cj = vt(s)->_bisect(s, g2(s), s->_n2, x2);
            if (vq::error_pending(errors)) return fail(kTbHandleOob.text);
            if (ci > s->_n1 - 2) ci = s->_n1 - 2;
            if (cj > s->_n2 - 2) cj = s->_n2 - 2;
            const double v = vt(s)->_nearest_finite(s, ci, cj);
            if (vq::error_pending(errors)) return fail(kTbHandleOob.text);
            return v;
        }
        raise_outside(s, x1, x2);
        return fail(kTbHandleOob.text);
    }

    // -- the grey opacity operations ----------------------------------------

    static double log_opacity(GreyOpacityObject* o, double log_T, double log_rho) noexcept {
        Obj* s = table(o);
        const TableOpacityVTable* t = vt(s);
        const vq::ThreadErrors errors = vq::thread_errors();
        double x1, x2;
        call_coords(t, s, log_T, log_rho, &x1, &x2);
        if (vq::error_pending(errors)) return fail(kTbLogOpacity.text);
        int i, j;
        const int outside = call_find_cell(t, s, x1, x2, &i, &j, errors);
        if (vq::error_pending(errors)) return fail(kTbLogOpacity.text);
        double log10_kappa;
        if (outside) {
            log10_kappa = t->_handle_oob(s, x1, x2);
            if (vq::error_pending(errors)) return fail(kTbLogOpacity.text);
        } else {
            log10_kappa = call_interp(t, s, x1, x2, i, j);
            if (vq::error_pending(errors)) return fail(kTbLogOpacity.text);
            if (std::isnan(log10_kappa) && s->_oob == kClamp) {
                log10_kappa = t->_nearest_finite(s, i, j);
                if (vq::error_pending(errors)) return fail(kTbLogOpacity.text);
            }
        }
        return log10_kappa * s->_LN10;
    }

    static double opacity(GreyOpacityObject* o, double rho, double T) noexcept {
        const double v = o->vtab->_log_opacity(o, std::log(T), std::log(rho));
        if (vq::error_pending()) return fail(kTbOpacity.text);
        return std::exp(v);
    }

    // Both derivatives are exact partials of the cell's bilinear interpolant of
    // log10 kappa; the two factors ln 10 cancel.  They neither fill holes nor
    // clamp: outside the grid or on a NaN edge value they give 0 (NaN in mode 2).

    static double dlogkappa_dlogrho(GreyOpacityObject* o, double log_T, double log_rho) noexcept {
        Obj* s = table(o);
        int i, j;
        double x1, x2;
        if (!locate(s, log_T, log_rho, &x1, &x2, &i, &j)) return fail(kTbDlogRho.text);
        if (i < 0) return no_slope(s);
        double tx;
        if (!fraction(x1, g1(s)[i], g1(s)[i + 1], &tx)) return fail(kTbDlogRho.text);
        double dkg2;
        switch (axis2_slope(s, tx, i, j, &dkg2)) {
            case Slope::kError: return fail(kTbDlogRho.text);
            case Slope::kMissing: return no_slope(s);
            case Slope::kOk: break;
        }
        return dkg2;
    }

    static double dlogkappa_dlogT(GreyOpacityObject* o, double log_T, double log_rho) noexcept {
        Obj* s = table(o);
        int i, j;
        double x1, x2;
        if (!locate(s, log_T, log_rho, &x1, &x2, &i, &j)) return fail(kTbDlogT.text);
        if (i < 0) return no_slope(s);
        double ty;
        if (!fraction(x2, g2(s)[j], g2(s)[j + 1], &ty)) return fail(kTbDlogT.text);
        const double ki0 = (1.0 - ty) * lk(s, i, j) + ty * lk(s, i, j + 1);
        if (std::isnan(ki0)) return no_slope(s);
        const double ki1 = (1.0 - ty) * lk(s, i + 1, j) + ty * lk(s, i + 1, j + 1);
        if (std::isnan(ki1)) return no_slope(s);
        const double w1 = g1(s)[i + 1] - g1(s)[i];
        if (w1 == 0.0) {
            vq::raise_float_division();
            return fail(kTbDlogT.text);
        }
        const double dkg1 = (ki1 - ki0) / w1;
        if constexpr (!Axes::kRCoupled) {
            return dkg1;
        } else {
            // x2 holds -3 log10 T, so d x2 / d x1 = -3.
            const double tx = (x1 - g1(s)[i]) / w1;
            double dkg2;
            switch (axis2_slope(s, tx, i, j, &dkg2)) {
                case Slope::kError: return fail(kTbDlogT.text);
                case Slope::kMissing: return no_slope(s);
                case Slope::kOk: break;
            }
            return dkg1 - 3.0 * dkg2;
        }
    }

    /// Fill a method table: the base table's slots first, all overridden.
    static void fill(TableOpacityVTable* t, const GreyOpacityVTable* base) noexcept {
        t->base = *base;
        t->base._opacity = &opacity;
        t->base._log_opacity = &log_opacity;
        t->base._dlogkappa_dlogrho = &dlogkappa_dlogrho;
        t->base._dlogkappa_dlogT = &dlogkappa_dlogT;
        t->_bisect = &bisect;
        t->_interp = &interp;
        t->_coords = &coords;
        t->_find_cell = &find_cell;
        t->_nearest_finite = &nearest_finite;
        t->_handle_oob = &handle_oob;
    }

private:
    enum class Slope { kOk, kMissing, kError };

    /// Slope of log10 kappa along axis 2 at fractional axis-1 position tx in
    /// cell (i, j): kMissing when an edge value is NaN, kError ("float
    /// division") on a zero-width axis-2 interval.
    static Slope axis2_slope(const Obj* s, double tx, int i, int j, double* out) noexcept {
        const double k0j = (1.0 - tx) * lk(s, i, j) + tx * lk(s, i + 1, j);
        if (std::isnan(k0j)) return Slope::kMissing;
        const double k0j1 = (1.0 - tx) * lk(s, i, j + 1) + tx * lk(s, i + 1, j + 1);
        if (std::isnan(k0j1)) return Slope::kMissing;
        const double w2 = g2(s)[j + 1] - g2(s)[j];
        if (w2 == 0.0) {
            vq::raise_float_division();
            return Slope::kError;
        }
        *out = (k0j1 - k0j) / w2;
        return Slope::kOk;
    }

    /// ValueError naming the point and the grid's extent, under the lock.
    static void raise_outside(const Obj* s, double x1, double x2) noexcept {
        vq::GilEnsure gil;
        const double* a = g1(s);
        const double* b = g2(s);
        vq::Ref px1 = vq::format_double(x1, ".3f");
        vq::Ref px2 = px1 ? vq::format_double(x2, ".3f") : vq::Ref();
        vq::Ref a0 = px2 ? vq::format_double(a[0], ".2f") : vq::Ref();
        vq::Ref a1 = a0 ? vq::format_double(a[s->_n1 - 1], ".2f") : vq::Ref();
        vq::Ref b0 = a1 ? vq::format_double(b[0], ".2f") : vq::Ref();
        vq::Ref b1 = b0 ? vq::format_double(b[s->_n2 - 1], ".2f") : vq::Ref();
        if (!b1) return;  // the formatting error is what gets reported
        PyErr_Format(PyExc_ValueError, "(log10_T=%U, %s=%U) is outside the table domain [%U, %U] x [%U, %U].",
                     px1.get(), Axes::kAxis2Label, px2.get(), a0.get(), a1.get(), b0.get(), b1.get());
    }

    static double fail(const char* where) noexcept {
        VQ_TRACEBACK(where);
        return 0.0;
    }
    static int fail_int(const char* where) noexcept {
        VQ_TRACEBACK(where);
        return 0;
    }

    /// find_cell, given the caller's thread-state lookup (or null to make its own).
    static int find_cell_with(Obj* s, double x1, double x2, int* i_out, int* j_out,
                              const vq::ThreadErrors* caller) noexcept {
        *i_out = 0;
        *j_out = 0;
        const double* a = g1(s);
        const double* b = g2(s);
        // NaN coordinates fail every comparison: they are inside and land in cell 0.
        if (x1 < a[0] - kEdgeEps || x1 > a[s->_n1 - 1] + kEdgeEps || x2 < b[0] - kEdgeEps ||
            x2 > b[s->_n2 - 1] + kEdgeEps)
            return 1;
        const vq::ThreadErrors errors = caller ? *caller : vq::thread_errors();
        const TableOpacityVTable* t = vt(s);
        const int i = call_bisect(t, s, a, s->_n1, x1);
        if (vq::error_pending(errors)) return fail_int(kTbFindCell.text);
        const int j = call_bisect(t, s, b, s->_n2, x2);
        if (vq::error_pending(errors)) return fail_int(kTbFindCell.text);
        *i_out = i < s->_n1 - 2 ? i : s->_n1 - 2;
        *j_out = j < s->_n2 - 2 ? j : s->_n2 - 2;
        return 0;
    }

    // Calls through the method table.  The slot is always read from the
    // object's table; when it holds this engine's own operation, that is called
    // directly, so that it can be inlined and share the caller's lookup of the
    // thread state.  A subclass's override is called as it is.

    static void call_coords(const TableOpacityVTable* t, Obj* s, double log_T, double log_rho, double* x1,
                            double* x2) noexcept {
        if (t->_coords == &coords)
            coords(s, log_T, log_rho, x1, x2);
        else
            t->_coords(s, log_T, log_rho, x1, x2);
    }

    static int call_find_cell(const TableOpacityVTable* t, Obj* s, double x1, double x2, int* i, int* j,
                              const vq::ThreadErrors& errors) noexcept {
        if (t->_find_cell == &find_cell) return find_cell_with(s, x1, x2, i, j, &errors);
        return t->_find_cell(s, x1, x2, i, j);
    }

    static int call_bisect(const TableOpacityVTable* t, Obj* s, const double* arr, int n, double val) noexcept {
        if (t->_bisect == &bisect) return bisect(s, arr, n, val);
        return t->_bisect(s, arr, n, val);
    }

    static double call_interp(const TableOpacityVTable* t, Obj* s, double x1, double x2, int i, int j) noexcept {
        if (t->_interp == &interp) return interp(s, x1, x2, i, j);
        return t->_interp(s, x1, x2, i, j);
    }

    /// Coordinates and cell of a point through the method table; i = -1 when the
    /// point is outside.  False with an error pending.
    static bool locate(Obj* s, double log_T, double log_rho, double* x1, double* x2, int* i, int* j) noexcept {
        const TableOpacityVTable* t = vt(s);
        const vq::ThreadErrors errors = vq::thread_errors();
        call_coords(t, s, log_T, log_rho, x1, x2);
        if (vq::error_pending(errors)) return false;
        const int outside = call_find_cell(t, s, *x1, *x2, i, j, errors);
        if (vq::error_pending(errors)) return false;
        if (outside) *i = -1;
        return true;
    }
};

}  // namespace vq::table
