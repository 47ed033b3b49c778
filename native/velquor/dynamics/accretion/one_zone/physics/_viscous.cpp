// velquor.dynamics.accretion.one_zone.physics._viscous
//
// viscous_derivative_func: the viscous rates of a one-zone disk and the step
// size.  Gas drains through the inner radius R_in at the one-zone accretion rate
// and leaves with the specific angular momentum of a zero-torque inner edge:
//
//     Mdot_acc = F0 M / t_visc,   j_in = sqrt(G MBH R_in),
//     dM/dt = (source) - Mdot_acc,   dJ/dt = (source) - Mdot_acc j_in,
//     dt = epsilon min(t_visc, |M / dM/dt|, |J / dJ/dt|).
//
// The step uses the total rates (source included), so |dM| <= epsilon M and
// |dJ| <= epsilon J: M and J stay positive for any epsilon < 1.  A rate that is
// exactly zero imposes no limit.  Without a source, J - j_in M is unchanged by
// every Euler step.
#include "velquor/bind/capi.hpp"
#include "velquor/bind/disk.hpp"

#include <cmath>

namespace {

constexpr const char* kModuleName = "velquor.dynamics.accretion.one_zone.physics._viscous";
vq::InitGuard init_guard{"_viscous"};

double disk_f0 = 0.0;  // accretion coefficient, bound at import
double g_cgs = 0.0;    // [cm^3 g^-1 s^-2]

/// derivative_func: on entry `step` holds the source's rates; on success it holds
/// the total rates and the step size.  Status 1 (nothing written) when t_visc,
/// a rate or the step is not finite.  Never raises; needs no lock.
int32_t viscous_derivative_func(const DiskState* state, const DiskDerived*, const DiskParameters* params,
                                const ClosureResult* closure, DiskStep* step) noexcept {
    const double t_visc = closure->t_visc;
    if (!std::isfinite(t_visc)) return 1;
    const double M = state->M;
    const double J = state->J;
    const double mdot_acc = disk_f0 * M / t_visc;
    const double j_in = std::sqrt(g_cgs * params->MBH * params->R_in);
    const double dM_dt = step->dM_dt - mdot_acc;
    const double dJ_dt = step->dJ_dt - mdot_acc * j_in;
    if (!std::isfinite(dM_dt) || !std::isfinite(dJ_dt)) return 1;

    double dt = t_visc;
    if (dM_dt != 0.0) dt = std::fmin(dt, std::fabs(M / dM_dt));
    if (dJ_dt != 0.0) dt = std::fmin(dt, std::fabs(J / dJ_dt));
    dt *= params->epsilon;
    if (!std::isfinite(dt)) return 1;

    step->dM_dt = dM_dt;
    step->dJ_dt = dJ_dt;
    step->dt = dt;
    return 0;
}

[[maybe_unused]] constexpr derivative_func kSignatureCheck = &viscous_derivative_func;

int exec_module(PyObject* module) {
    auto init = init_guard.begin();
    if (!init) return -1;
    if (!vq::disk::import_constant("DISK_F0", &disk_f0) ||
        !vq::disk::import_constant("G_CGS", &g_cgs))
        return -1;
    if (!vq::export_function(module, "viscous_derivative_func", &viscous_derivative_func,
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
