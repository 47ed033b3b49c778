// velquor.dynamics.accretion.one_zone.models._sedge: gas-pressure-only thermal solve.
//
// sedge_closure_func: the thermal closure of a disk supported by gas pressure
// alone, c_s^2 = k_B T / (mu m_p).  Same energy balance, solver settings, seed,
// outputs and status codes as the gas-plus-radiation closure of _hollin (both
// are velquor/core/thermal.hpp with a different equation of state).  With electron
// scattering the root is T^3 = (27/32) alpha kappa_es Omega Sigma^2 k_B / (sigma_SB mu m_p),
// which is also the seed, so a first solve starts on the root; with Kramers plus
// electron scattering the residual decreases strictly in T and the root is unique.
#include "velquor/bind/capi.hpp"
#include "velquor/bind/disk.hpp"
#include "velquor/bind/thermal.hpp"

namespace {

namespace thermal = vq::thermal;

constexpr const char* kModuleName = "velquor.dynamics.accretion.one_zone.models._sedge";
constexpr const char* kModuleDoc =
    "Gas-pressure-only thermal closure of the one-zone disk (sedge_closure_func,\n"
    "exported natively): the central temperature T_c [K] at which\n"
    "sigma_SB T_c^4 = (27/32) alpha kappa Omega Sigma^2 c_s^2 with c_s^2 = k_B T_c / (mu m_p).";

struct SedgeModel : thermal::ThinDisk<vq::eos::GasPressure> {
    static constexpr const char* kResidualName = "velquor.dynamics.accretion.one_zone.models._sedge.sedge_residual";
    static constexpr const char* kClosureName =
        "velquor.dynamics.accretion.one_zone.models._sedge.sedge_closure_func";
};

constexpr closure_func sedge_closure_func = &thermal::closure<SedgeModel, thermal::InterpreterHost>;

bool setup(PyObject* module) noexcept {
    if (!thermal::InterpreterHost::bind()) return false;
    return vq::export_function(module, "sedge_closure_func", sedge_closure_func, vq::disk::kClosureFuncTag);
}

}  // namespace

VQ_DEFINE_MODULE(_sedge, kModuleName, kModuleDoc, nullptr, setup)
