// velquor.dynamics.accretion.one_zone.physics._stavemark: gas-plus-radiation sound speed.
//
// compute_gas_rad_cs is the gas-plus-radiation equation of state of
// velquor/core/eos.hpp (the thermal solves use the same code inline).  NaN in
// gives NaN out; the function never raises and needs no lock.
#include "velquor/bind/capi.hpp"
#include "velquor/bind/disk.hpp"
#include "velquor/core/eos.hpp"

namespace {

constexpr const char* kModuleName = "velquor.dynamics.accretion.one_zone.physics._stavemark";
constexpr const char* kModuleDoc =
    "Equation of state of the one-zone disk: the midplane sound speed with gas and\n"
    "radiation pressure (compute_gas_rad_cs, also exported natively).  CGS units.";

/// c_s [cm s^-1] of gas plus radiation at temperature T [K], mean molecular
/// weight mu, surface density Sigma [g cm^-2] and angular velocity Omega [s^-1].
double compute_gas_rad_cs(double T, double mu, double Sigma, double Omega) noexcept {
    return vq::eos::GasRadiation::sound_speed(T, mu, Sigma, Omega);
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

bool setup(PyObject* module) noexcept {
    return vq::export_function(module, "compute_gas_rad_cs", &compute_gas_rad_cs, vq::disk::kSoundSpeedTag);
}

}  // namespace

VQ_DEFINE_MODULE(_stavemark, kModuleName, kModuleDoc, module_methods, setup)
