// The fallback supply of tidal debris (a source callback), on a host policy.
//
// The power-law return of tidally disrupted debris,
//
//     Mdot_fb = M_fb_0 (t / t_fb)^(-beta_fb),
//
// arriving with the specific angular momentum sqrt(G MBH R_c) of a circular
// orbit at the circularisation radius.  Both rates are added to the step.
#pragma once

#include "velquor/core/constants.hpp"
#include "velquor/core/host.hpp"
#include "velquor/core/records.hpp"

#include <cmath>
#include <cstdint>

namespace vq::disk {

inline constexpr const char* kNoFallbackRecord =
    "fallback_source_func: the packed parameters carry no fallback record";

/// A source_func: adds Mdot_fb [g s^-1] to step->dM_dt and Mdot_fb sqrt(G MBH
/// R_c) [g cm^2 s^-2] to step->dJ_dt; leaves step->dt alone.  No cut-off at or
/// before t = 0: pow decides.  t_fb = 0 raises "float division" through the
/// host and returns -1 with `step` untouched; so does a record packed without
/// fallback parameters (a runtime error) rather than reading through a null
/// pointer.
template <class Host>
int32_t fallback_supply(const DiskState* state, const DiskDerived*, const DiskParameters* params,
                        const ClosureResult*, DiskStep* step) noexcept {
    const FallbackParams* fb = params->fallback;
    if (!fb) {
        Host{}.raise(core::Error::kRuntime, kNoFallbackRecord);
        return -1;
    }
    if (fb->t_fb == 0.0) {
        Host{}.raise(core::Error::kZeroDivision, core::kFloatDivision);
        return -1;
    }
    const double mdot_fb = fb->M_fb_0 * std::pow(state->t / fb->t_fb, -fb->beta_fb);
    step->dM_dt += mdot_fb;
    const double j = std::exp(0.5 * (std::log(fb->R_c) + (vq::constants::LOG_G_CGS + std::log(params->MBH))));
    step->dJ_dt += mdot_fb * j;
    return 0;
}

}  // namespace vq::disk
