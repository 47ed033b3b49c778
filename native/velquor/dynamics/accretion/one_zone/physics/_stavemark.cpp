// velquor.dynamics.accretion.one_zone.physics._stavemark
//
// Sound speed of a disk midplane with gas and radiation pressure.  With
// H = c_s / Omega, rho = Sigma / (sqrt(2 pi) H) and P = rho k_B T / (mu m_p) + a T^4 / 3,
// c_s^2 = P / rho is the quadratic c_s^2 = g + b c_s with
//
//     g = k_B T / (mu m_p),   b = sqrt(2 pi) a T^4 / (3 Sigma Omega),
//
// whose positive root is taken in the form (b + hypot(b, 2 sqrt(g))) / 2: both
// terms are positive, so nothing cancels whichever pressure dominates (the
// conjugate form 2 g / (sqrt(b^2 + 4 g) - b) loses every digit once radiation
// dominates).  NaN in gives NaN out; the function never raises and needs no lock.
#include "velquor/bind/capi.hpp"
#include "velquor/bind/disk.hpp"

#include <cmath>
#include <limits>
#include <numbers>

namespace {

constexpr const char* kModuleName = "velquor.dynamics.accretion.one_zone.physics._stavemark";
vq::InitGuard init_guard{"_stavemark"};

double k_b_over_m_p = 0.0;  // [erg K^-1 g^-1], bound at import
double rad_coef = 0.0;      // sqrt(2 pi) a / 3 [erg cm^-3 K^-4]

/// c_s [cm s^-1] of gas plus radiation at temperature T [K], mean molecular
/// weight mu, surface density Sigma [g cm^-2] and angular velocity Omega [s^-1].
double compute_gas_rad_cs(double T, double mu, double Sigma, double Omega) noexcept {
    const double g = k_b_over_m_p * T / mu;
    const double T2 = T * T;
    const double b = rad_coef * (T2 * T2) / (Sigma * Omega);
    // hypot(inf, NaN) is inf: keep a NaN input visible even next to an infinite term.
    if (std::isnan(g) || std::isnan(b)) return std::numeric_limits<double>::quiet_NaN();
    return 0.5 * (b + std::hypot(b, 2.0 * std::sqrt(g)));
}

[[maybe_unused]] constexpr vq::disk::sound_speed_func kSignatureCheck = &compute_gas_rad_cs;

constexpr const char* kParams[] = {"T", "mu", "Sigma", "Omega"};
constexpr vq::Signature kSignature{"compute_gas_rad_cs", kParams, 4, 4};

PyObject* compute_gas_rad_cs_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4] = {};
    if (!vq::bind(kSignature, args, nargs, kwnames, a)) return nullptr;
    double v[4];
    for (int k = 0; k < 4; ++k)
        if (!vq::to_double(a[k], &v[k])) return nullptr;
    return PyFloat_FromDouble(compute_gas_rad_cs(v[0], v[1], v[2], v[3]));
}

PyMethodDef module_methods[] = {
    {"compute_gas_rad_cs", vq::as_cfunction(compute_gas_rad_cs_py),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("compute_gas_rad_cs(T, mu, Sigma, Omega)\n--\n\n"
               "Midplane sound speed of gas plus radiation pressure.\n\n"
               "Parameters\n----------\n"
               "T : float\n    Temperature [K].\n"
               "mu : float\n    Mean molecular weight [-].\n"
               "Sigma : float\n    Surface density [g cm^-2].\n"
               "Omega : float\n    Angular velocity [s^-1].\n\n"
               "Returns\n-------\nfloat\n"
               "    c_s [cm s^-1], the positive root of c_s^2 = g + b c_s with g = k_B T / (mu m_p)\n"
               "    and b = sqrt(2 pi) a T^4 / (3 Sigma Omega).  NaN in gives NaN out; never raises.")},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    auto init = init_guard.begin();
    if (!init) return -1;
    double k_b = 0.0, m_p = 0.0, rad_a = 0.0;
    if (!vq::disk::import_constant("K_B_CGS", &k_b) ||
        !vq::disk::import_constant("M_P_CGS", &m_p) ||
        !vq::disk::import_constant("RAD_A_CGS", &rad_a))
        return -1;
    k_b_over_m_p = k_b / m_p;
    rad_coef = std::sqrt(2.0 * std::numbers::pi) * rad_a / 3.0;
    if (!vq::export_function(module, "compute_gas_rad_cs", &compute_gas_rad_cs, vq::disk::kSoundSpeedTag)) return -1;
    init.commit();
    return 0;
}

constexpr const char* kModuleDoc =
    "Equation of state of the one-zone disk: the midplane sound speed with gas and\n"
    "radiation pressure (compute_gas_rad_cs, also exported natively).  CGS units.";

}  // namespace

VQ_DEFINE_MODULE(_stavemark, kModuleName, kModuleDoc, module_methods, exec_module)
