// velquor.radiation.opacity.grey_opacity.rosseland._plumtree: Kramers plus electron-scattering opacity.
//
// C_PlumtreeOpacity: Kramers' law plus electron scattering,
//     kappa(rho, T) = kappa_es + kappa0 * rho * T^-3.5,
// as a native subclass of C_GreyMurkwell.  Only the logarithms of the two
// coefficients are stored; ln kappa is a log-sum-exp that never exponentiates a
// term on its own, so it neither overflows nor underflows across the regimes a
// disk visits.  The four operations run without the interpreter lock; only the
// error test after a call through the table takes it.
#include "velquor/bind/capi.hpp"
#include "velquor/bind/opacity.hpp"
#include "velquor/core/constants.hpp"

#include <cmath>
#include <cstddef>

namespace {

constexpr const char* kModuleName = "velquor.radiation.opacity.grey_opacity.rosseland._plumtree";
constexpr const char* kModuleDoc =
    "Kramers plus electron-scattering Rosseland-mean opacity (C_PlumtreeOpacity).";
vq::opacity::Bases bases;

/// Instance layout (shared with native subclasses in other modules).
using PlumtreeObject = PlumtreeOpacityObject;

const PlumtreeObject* as_plumtree(const GreyOpacityObject* o) noexcept {
    return reinterpret_cast<const PlumtreeObject*>(o);
}

// ---------------------------------------------------------------------------
// Native operations
// ---------------------------------------------------------------------------

/// ln of the Kramers term: density exponent 1, temperature exponent -3.5.
double log_kramers(const PlumtreeObject* self, double log_T, double log_rho) noexcept {
    return log_rho + self->_log_kappa0 - 3.5 * log_T;
}

double plumtree_log_opacity(GreyOpacityObject* self, double log_T, double log_rho) noexcept {
    const PlumtreeObject* p = as_plumtree(self);
    const double a = p->_log_kappa_es;
    const double b = log_kramers(p, log_T, log_rho);
    // The larger term goes outside the logarithm; an unordered comparison (NaN)
    // takes the second branch and propagates the NaN.
    if (a >= b) return a + std::log(1.0 + std::exp(b - a));
    return b + std::log(1.0 + std::exp(a - b));
}

double plumtree_opacity(GreyOpacityObject* self, double rho, double T) noexcept {
    const double log_rho = std::log(rho);
    const double log_T = std::log(T);
    const double log_kappa = self->vtab->_log_opacity(self, log_T, log_rho);
    if (vq::error_pending()) {
        VQ_TRACEBACK("velquor.radiation.opacity.grey_opacity.rosseland._plumtree.C_PlumtreeOpacity._opacity");
        return 0.0;
    }
    return std::exp(log_kappa);
}

/// Kramers fraction w = kappa_KR / kappa, with kappa from the table so that a
/// further subclass's _log_opacity is honoured.  False with an error pending.
bool kramers_fraction(GreyOpacityObject* self, double log_T, double log_rho, double* w) noexcept {
    const double log_kr = log_kramers(as_plumtree(self), log_T, log_rho);
    const double log_kappa = self->vtab->_log_opacity(self, log_T, log_rho);
    if (vq::error_pending()) return false;
    *w = std::exp(log_kr - log_kappa);
    return true;
}

// The electron-scattering term is constant, so d ln kappa / d ln rho = w.
double plumtree_dlogkappa_dlogrho(GreyOpacityObject* self, double log_T, double log_rho) noexcept {
    double w = 0.0;
    if (!kramers_fraction(self, log_T, log_rho, &w)) {
        VQ_TRACEBACK(
            "velquor.radiation.opacity.grey_opacity.rosseland._plumtree.C_PlumtreeOpacity._dlogkappa_dlogrho");
        return 0.0;
    }
    return w;
}

double plumtree_dlogkappa_dlogT(GreyOpacityObject* self, double log_T, double log_rho) noexcept {
    double w = 0.0;
    if (!kramers_fraction(self, log_T, log_rho, &w)) {
        VQ_TRACEBACK("velquor.radiation.opacity.grey_opacity.rosseland._plumtree.C_PlumtreeOpacity._dlogkappa_dlogT");
        return 0.0;
    }
    return -3.5 * w;
}

// Copied from the bound base table at import, then overridden.
GreyOpacityVTable plumtree_table;

// ---------------------------------------------------------------------------
// The class
// ---------------------------------------------------------------------------

PyTypeObject PlumtreeType = {PyVarObject_HEAD_INIT(nullptr, 0)};

constexpr const char* kCinitParams[] = {"kappa0", "kappa_es"};
constexpr vq::Signature kCinit{"__cinit__", kCinitParams, 2, 1};

// The coefficients are taken at allocation, so every subclass must supply them.
// No range check: zero gives -inf, a negative value NaN, and both are stored.
PyObject* plumtree_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* bound[2] = {nullptr, nullptr};
    if (!vq::bind(kCinit, args, kwargs, bound)) return nullptr;
    double kappa0 = 0.0;
    double kappa_es = vq::constants::KAPPA_ES;
    if (!vq::to_double(bound[0], &kappa0)) return nullptr;
    if (bound[1] && !vq::to_double(bound[1], &kappa_es)) return nullptr;
    PyObject* o = bases.grey.type->tp_new(type, args, kwargs);
    if (!o) return nullptr;
    auto* self = reinterpret_cast<PlumtreeObject*>(o);
    self->base.vtab = &plumtree_table;
    self->_log_kappa0 = std::log(kappa0);
    self->_log_kappa_es = std::log(kappa_es);
    return o;
}

PyMethodDef plumtree_methods[] = {
    VQ_OPACITY_REFUSE_PICKLING("the coefficients are taken at allocation."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kPlumtreeDoc =
    "C_PlumtreeOpacity(kappa0, kappa_es=0.34)\n--\n\n"
    "Combined Kramers + electron-scattering opacity.\n\n"
    "    kappa(rho, T) = kappa_es + kappa0 * rho * T**-3.5\n\n"
    "with rho in g cm^-3, T in K and kappa in cm^2 g^-1.\n\n"
    "Parameters\n"
    "----------\n"
    "kappa0 : float\n"
    "    Kramers coefficient [cm^5 g^-2 K^3.5].\n"
    "kappa_es : float, optional\n"
    "    Electron-scattering opacity [cm^2 g^-1]; default 0.34.\n\n"
    "Only ln kappa0 and ln kappa_es are stored: a zero coefficient drops its term,\n"
    "a negative one makes every result NaN.  The derivatives are analytic:\n"
    "d ln kappa / d ln rho = w and d ln kappa / d ln T = -3.5 w, with\n"
    "w = kappa_KR / kappa the Kramers fraction.  Instances cannot be pickled.";

bool ready_type() {
    if (!(PlumtreeType.tp_flags & Py_TPFLAGS_READY)) {
        PlumtreeType.tp_name = "velquor.radiation.opacity.grey_opacity.rosseland._plumtree.C_PlumtreeOpacity";
        PlumtreeType.tp_basicsize = sizeof(PlumtreeObject);
        PlumtreeType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
        PlumtreeType.tp_doc = kPlumtreeDoc;
        PlumtreeType.tp_base = bases.grey.type;
        PlumtreeType.tp_new = plumtree_new;
        PlumtreeType.tp_methods = plumtree_methods;
        if (PyType_Ready(&PlumtreeType) < 0) return false;
    }
    return vq::publish_method_table(&PlumtreeType, &plumtree_table, vq::opacity::kGreyTableTag);
}

bool setup(PyObject* module) noexcept {
    if (!vq::opacity::bind_bases(&bases)) return false;
    plumtree_table = *bases.grey_table();
    plumtree_table._opacity = plumtree_opacity;
    plumtree_table._log_opacity = plumtree_log_opacity;
    plumtree_table._dlogkappa_dlogrho = plumtree_dlogkappa_dlogrho;
    plumtree_table._dlogkappa_dlogT = plumtree_dlogkappa_dlogT;
    if (!ready_type()) return false;
    return vq::add_object(module, "C_PlumtreeOpacity", Py_NewRef(reinterpret_cast<PyObject*>(&PlumtreeType)));
}

}  // namespace

VQ_DEFINE_MODULE(_plumtree, kModuleName, kModuleDoc, nullptr, setup)
