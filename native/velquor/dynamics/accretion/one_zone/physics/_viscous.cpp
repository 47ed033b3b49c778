// velquor.dynamics.accretion.one_zone.physics._viscous: viscous rates and step size.
//
// viscous_derivative_func is velquor/core/viscous.hpp: the one-zone accretion
// rate drains the disk through R_in with the specific angular momentum of a
// zero-torque inner edge, and the step is a fraction epsilon of the shortest
// evolution time.  Never raises; needs no lock.
#include "velquor/bind/capi.hpp"
#include "velquor/bind/disk.hpp"
#include "velquor/core/viscous.hpp"

namespace {

constexpr const char* kModuleName = "velquor.dynamics.accretion.one_zone.physics._viscous";
constexpr const char* kModuleDoc =
    "Viscous evolution of the one-zone disk (viscous_derivative_func, exported natively).\n\n"
    "Mdot_acc = F0 M / t_visc [g s^-1] drains the disk through R_in with specific angular\n"
    "momentum sqrt(G MBH R_in) [cm^2 s^-1]; the step is epsilon times the shortest of t_visc,\n"
    "M / |dM/dt| and J / |dJ/dt| [s].";

constexpr derivative_func viscous_derivative_func = &vq::disk::viscous_rates;

bool setup(PyObject* module) noexcept {
    return vq::export_function(module, "viscous_derivative_func", viscous_derivative_func,
                             vq::disk::kDerivativeFuncTag);
}

}  // namespace

VQ_DEFINE_MODULE(_viscous, kModuleName, kModuleDoc, nullptr, setup)
