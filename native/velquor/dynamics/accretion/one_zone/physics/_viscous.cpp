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
vq::InitGuard init_guard{"_viscous"};

constexpr derivative_func viscous_derivative_func = &vq::disk::viscous_rates;

int exec_module(PyObject* module) {
    auto init = init_guard.begin();
    if (!init) return -1;
    if (!vq::export_function(module, "viscous_derivative_func", viscous_derivative_func,
                             vq::disk::kDerivativeFuncTag))
        return -1;
    init.commit();
    return 0;
}

constexpr const char* kModuleDoc =
    "Viscous evolution of the one-zone disk (viscous_derivative_func, exported natively).\n\n"
    "Mdot_acc = F0 M / t_visc [g s^-1] drains the disk through R_in with specific angular\n"
    "momentum sqrt(G MBH R_in) [cm^2 s^-1]; the step is epsilon times the shortest of t_visc,\n"
    "M / |dM/dt| and J / |dJ/dt| [s].";

}  // namespace

VQ_DEFINE_MODULE(_viscous, kModuleName, kModuleDoc, nullptr, exec_module)
