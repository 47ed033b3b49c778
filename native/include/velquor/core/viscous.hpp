// The viscous rates and step size (a derivative callback).
//
// The viscous rates of a one-zone disk and the step size.  Gas drains through
// the inner radius R_in at the one-zone accretion rate and leaves with the
// specific angular momentum of a zero-torque inner edge:
//
//     Mdot_acc = F0 M / t_visc,   j_in = sqrt(G MBH R_in),
//     dM/dt = (source) - Mdot_acc,   dJ/dt = (source) - Mdot_acc j_in,
//     dt = epsilon min(t_visc, |M / dM/dt|, |J / dJ/dt|).
//
// The step uses the total rates (source included), so |dM| <= epsilon M and
// |dJ| <= epsilon J: M and J stay positive for any epsilon < 1.  A rate that is
// exactly zero imposes no limit.  Without a source, J - j_in M is unchanged by
// every Euler step.
#pragma once

#include "velquor/core/constants.hpp"
#include "velquor/core/records.hpp"

#include <cmath>
#include <cstdint>

namespace vq::disk {

/// A derivative_func: on entry `step` holds the source's rates; on success it
/// holds the total rates and the step size.  Status 1 (nothing written) when
/// t_visc, a rate or the step is not finite.  Never raises.
inline int32_t viscous_rates(const DiskState* state, const DiskDerived*, const DiskParameters* params,
                             const ClosureResult* closure, DiskStep* step) noexcept {
    const double t_visc = closure->t_visc;
    if (!std::isfinite(t_visc)) return 1;
    const double M = state->M;
    const double J = state->J;
    const double mdot_acc = vq::constants::DISK_F0 * M / t_visc;
    const double j_in = std::sqrt(vq::constants::G_CGS * params->MBH * params->R_in);
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

}  // namespace vq::disk
