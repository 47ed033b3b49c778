// velquor.observe._spectrum: disk spectra and band photometry.
//
// The numerics live in velquor/core/spectrum.hpp; this file instantiates them
// with the interpreter as host, binds arguments and float64 buffers, checks
// their sizes, and runs each call with the interpreter lock released.  The
// public, validated interface is velquor.observe; these two functions trust
// their caller for the meaning of the tables but never for sizes or values that
// could make the kernel read or write outside a buffer.
#include "velquor/bind/capi.hpp"
#include "velquor/core/spectrum.hpp"

#include <cmath>
#include <cstdio>

namespace {

namespace sp = vq::spectrum;

constexpr const char* kModuleName = "velquor.observe._spectrum";

/// The interpreter as the kernel's host: a refused point raises ValueError,
/// taking the lock for it (the kernel runs without it).
struct InterpreterHost {
    static void refuse(const char* argument, std::size_t index, double value) noexcept {
        char text[200];
        const char* rule = argument[0] == 'M'   ? "must be finite and > 0"
                           : argument[0] == 'R' ? "must be finite, > R_in and <= 1e12 R_in"
                                                : "must be a channel index of the tables";
        std::snprintf(text, sizeof text, "%s[%zu] %s, got %.17g", argument, index, rule, value);
        vq::raise_locked(PyExc_ValueError, text);
    }
};

/// Buffers of one call: acquired and released with the lock held.
struct Views {
    vq::F64View v[10];
};

bool value_error(const char* text) noexcept {
    PyErr_SetString(PyExc_ValueError, text);
    return false;
}

/// The disk scalars shared by both functions (lock held).
bool read_disk(PyObject* m_bh, PyObject* r_in, PyObject* f_col, PyObject* done12, PyObject* eddington,
               sp::Disk* d) noexcept {
    if (!vq::to_double(m_bh, &d->M_BH) || !vq::to_double(r_in, &d->R_in) || !vq::to_double(f_col, &d->f_col) ||
        !vq::to_truth(done12, &d->done12) || !vq::to_truth(eddington, &d->eddington_limited))
        return false;
    if (!(d->M_BH > 0.0 && std::isfinite(d->M_BH))) return value_error("M_BH must be finite and > 0");
    if (!(d->R_in > 0.0 && std::isfinite(d->R_in))) return value_error("R_in must be finite and > 0");
    if (!(d->f_col >= 1.0 && std::isfinite(d->f_col))) return value_error("f_col must be finite and >= 1");
    return true;
}

bool read_constants(vq::F64View& view, sp::Constants* k) noexcept {
    if (view.size() != 5) return value_error("constants must hold 5 values");
    const double* c = view.data();
    *k = sp::Constants{c[0], c[1], c[2], c[3], c[4]};
    for (int i = 0; i < 5; ++i)
        if (!(c[i] > 0.0 && std::isfinite(c[i]))) return value_error("constants must be finite and > 0");
    return true;
}

const char* const kSpectrumParams[] = {"nu", "mdot", "r_out", "M_BH", "R_in", "f_col", "done12",
                                       "eddington_limited", "constants", "out"};
const vq::Signature kSpectrumSig{"spectrum", kSpectrumParams, 10, 10};

PyObject* spectrum_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[10] = {};
    if (!vq::bind(kSpectrumSig, args, nargs, kwnames, a)) return nullptr;
    sp::Disk d{};
    if (!read_disk(a[3], a[4], a[5], a[6], a[7], &d)) return nullptr;
    Views b;
    if (!b.v[0].acquire(a[0], 1, "nu") || !b.v[1].acquire(a[1], 1, "mdot") || !b.v[2].acquire(a[2], 1, "r_out") ||
        !b.v[3].acquire(a[8], 1, "constants") || !b.v[4].acquire(a[9], 2, "out"))
        return nullptr;
    sp::Constants k{};
    if (!read_constants(b.v[3], &k)) return nullptr;
    const Py_ssize_t n_nu = b.v[0].size(), n = b.v[1].size();
    if (b.v[2].size() != n) return value_error("r_out and mdot must have the same length"), nullptr;
    if (b.v[4].shape(0) != n || b.v[4].shape(1) != n_nu)
        return value_error("out must have shape (len(mdot), len(nu))"), nullptr;
    for (Py_ssize_t j = 0; j < n_nu; ++j) {
        const double nu = b.v[0].data()[j];
        if (!(nu > 0.0 && std::isfinite(nu))) return value_error("nu must be finite and > 0"), nullptr;
    }
    int status;
    {
        vq::GilRelease nogil;
        status = sp::spectrum<InterpreterHost>(d, k, b.v[0].data(), static_cast<std::size_t>(n_nu), b.v[1].data(),
                                               b.v[2].data(), static_cast<std::size_t>(n), b.v[4].data());
    }
    if (status != 0) return nullptr;
    Py_RETURN_NONE;
}

const char* const kPhotometryParams[] = {"coef", "bound", "grid", "grid_weights", "prefactor", "mdot", "r_out",
                                         "channel", "M_BH", "R_in", "f_col", "done12", "eddington_limited",
                                         "constants", "out"};
const vq::Signature kPhotometrySig{"photometry", kPhotometryParams, 15, 15};

PyObject* photometry_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[15] = {};
    if (!vq::bind(kPhotometrySig, args, nargs, kwnames, a)) return nullptr;
    sp::Disk d{};
    if (!read_disk(a[8], a[9], a[10], a[11], a[12], &d)) return nullptr;
    Views b;
    if (!b.v[0].acquire(a[0], 1, "coef") || !b.v[1].acquire(a[1], 1, "bound") || !b.v[2].acquire(a[2], 1, "grid") ||
        !b.v[3].acquire(a[3], 1, "grid_weights") || !b.v[4].acquire(a[4], 1, "prefactor") ||
        !b.v[5].acquire(a[5], 1, "mdot") || !b.v[6].acquire(a[6], 1, "r_out") ||
        !b.v[7].acquire(a[7], 1, "channel") || !b.v[8].acquire(a[13], 1, "constants") ||
        !b.v[9].acquire(a[14], 1, "out"))
        return nullptr;
    sp::Constants k{};
    if (!read_constants(b.v[8], &k)) return nullptr;

    // grid: [ln T0, h, n_intervals, n_channels, n_grid]
    if (b.v[2].size() != 5) return value_error("grid must hold 5 values"), nullptr;
    const double* g = b.v[2].data();
    const bool counts_ok = g[2] >= 1 && g[2] <= 1e6 && g[3] >= 1 && g[3] <= 1e4 && g[4] >= 1 && g[4] <= 1e4 &&
                           g[2] == std::floor(g[2]) && g[3] == std::floor(g[3]) && g[4] == std::floor(g[4]);
    if (!counts_ok || !std::isfinite(g[0]) || !(g[1] > 0.0 && std::isfinite(g[1])))
        return value_error("grid must be [ln T0, h > 0, n_intervals, n_channels, n_grid] with counts >= 1"), nullptr;
    sp::Tables tab{b.v[0].data(), b.v[1].data(), g[0], g[1], static_cast<int>(g[2]), static_cast<int>(g[3]),
                   static_cast<int>(g[4])};
    const Py_ssize_t per_channel = static_cast<Py_ssize_t>(tab.n_grid) * tab.n_intervals * 4;
    if (b.v[0].size() != per_channel * tab.n_channels)
        return value_error("coef must hold n_channels * n_grid * n_intervals * 4 values"), nullptr;
    if (b.v[1].size() != static_cast<Py_ssize_t>(tab.n_channels) * (tab.n_intervals + 1))
        return value_error("bound must hold n_channels * (n_intervals + 1) values"), nullptr;
    if (b.v[4].size() != tab.n_channels) return value_error("prefactor must hold n_channels values"), nullptr;

    // grid_weights: [i_0 .. i_{m-1}, w_0 .. w_{m-1}], 1 <= m <= 4
    const Py_ssize_t m2 = b.v[3].size();
    if (m2 < 2 || m2 > 8 || m2 % 2) return value_error("grid_weights must hold 2 to 8 values"), nullptr;
    sp::GridWeights gw{};
    gw.n = static_cast<int>(m2 / 2);
    for (int m = 0; m < gw.n; ++m) {
        const double idx = b.v[3].data()[m], w = b.v[3].data()[gw.n + m];
        if (!(idx >= 0.0 && idx < tab.n_grid && idx == std::floor(idx)) || !std::isfinite(w))
            return value_error("grid_weights must name tables of the grid with finite weights"), nullptr;
        gw.index[m] = static_cast<int>(idx);
        gw.weight[m] = w;
    }

    const Py_ssize_t n = b.v[5].size();
    if (b.v[6].size() != n || b.v[7].size() != n || b.v[9].size() != n)
        return value_error("mdot, r_out, channel and out must have the same length"), nullptr;
    int status;
    {
        vq::GilRelease nogil;
        status = sp::photometry<InterpreterHost>(d, k, tab, gw, b.v[4].data(), b.v[5].data(), b.v[6].data(),
                                                 b.v[7].data(), static_cast<std::size_t>(n), b.v[9].data());
    }
    if (status != 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef module_methods[] = {
    {"spectrum", vq::as_cfunction(spectrum_py), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("spectrum(nu, mdot, r_out, M_BH, R_in, f_col, done12, eddington_limited, constants, out)\n--\n\n"
               "Write L_nu [erg/s/Hz] of the disk at each (mdot[i], r_out[i]) and frequency nu[j]\n"
               "into out[i, j] (both faces, angle-integrated).  Runs without the interpreter lock.\n\n"
               "Parameters\n----------\n"
               "nu : float64 array (n_nu,)\n    Frequencies [Hz], finite and > 0.\n"
               "mdot, r_out : float64 arrays (n,)\n    Accretion rates [g/s] and outer radii [cm].\n"
               "M_BH, R_in : float\n    Black-hole mass [g] and inner radius [cm].\n"
               "f_col : float\n    Constant colour correction >= 1 (ignored when done12).\n"
               "done12 : bool\n    Use the colour correction of Done et al. (2012).\n"
               "eddington_limited : bool\n    Cap the flux per face at L_Edd / (4 pi r^2).\n"
               "constants : float64 array (5,)\n"
               "    3 G / (8 pi sigma_SB), G c / (kappa_es sigma_SB), h / k_B, 2 h / c^2, 72 keV / k_B (CGS).\n"
               "out : float64 array (n, n_nu)\n    Written.\n\n"
               "Raises\n------\n"
               "ValueError\n    A bad size or value, naming the argument (and the index of a bad point).")},
    {"photometry", vq::as_cfunction(photometry_py), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("photometry(coef, bound, grid, grid_weights, prefactor, mdot, r_out, channel, M_BH, R_in, f_col, "
               "done12, eddington_limited, constants, out)\n--\n\n"
               "Write out[i] = prefactor[channel[i]] * 4 pi^2 R_in^2 * integral of G(T(r)) r dr, with\n"
               "ln G tabulated per channel (see velquor.observe.Photometer, which builds the tables).\n"
               "Runs without the interpreter lock.\n\n"
               "Parameters\n----------\n"
               "coef : float64 array\n"
               "    [n_channels][n_grid][n_intervals][4] cubic coefficients of ln G in grid units.\n"
               "bound : float64 array\n    [n_channels][n_intervals + 1] ln of the largest G at or below each node.\n"
               "grid : float64 array (5,)\n    ln T0, step h in ln T, n_intervals, n_channels, n_grid.\n"
               "grid_weights : float64 array (2 m,)\n"
               "    m <= 4 table indices followed by their interpolation weights.\n"
               "prefactor : float64 array (n_channels,)\n    Factor per channel.\n"
               "mdot, r_out, channel : float64 arrays (n,)\n    Rates [g/s], outer radii [cm], channel indices.\n"
               "M_BH, R_in, f_col, done12, eddington_limited, constants\n    As for spectrum().\n"
               "out : float64 array (n,)\n    Written.\n\n"
               "Raises\n------\n"
               "ValueError\n    A bad size or value, naming the argument (and the index of a bad point).")},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kModuleDoc =
    "Native kernels of velquor.observe: disk spectra by direct radial quadrature of the\n"
    "Planck function, and band photometry by radial quadrature of tabulated band responses.\n"
    "Use the validated interface of velquor.observe.";

bool setup(PyObject*) noexcept {
    return true;
}

}  // namespace

VQ_DEFINE_MODULE(_spectrum, kModuleName, kModuleDoc, module_methods, setup)
