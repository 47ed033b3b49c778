// velquor.dynamics.accretion.one_zone.physics._fallback
//
// fallback_source_func: the power-law return of tidally disrupted debris,
//
//     Mdot_fb = M_fb_0 (t / t_fb)^(-beta_fb),
//
// arriving with the specific angular momentum sqrt(G MBH R_c) of a circular
// orbit at the circularisation radius.  Both rates are added to the step.
#include "velquor/bind/capi.hpp"
#include "velquor/bind/disk.hpp"
#include "velquor/bind/opacity.hpp"

#include <cmath>

namespace {

constexpr const char* kModuleName = "velquor.dynamics.accretion.one_zone.physics._fallback";
vq::InitGuard init_guard{"_fallback"};
vq::BoundClass closure_class;
vq::opacity::Bases opacity_bases;

double LOG_G_CGS = 0.0;  // ln G, bound at import

/// source_func: adds Mdot_fb [g s^-1] to step->dM_dt and Mdot_fb sqrt(G MBH R_c)
/// [g cm^2 s^-2] to step->dJ_dt; leaves step->dt alone.  No cut-off at or before
/// t = 0: pow decides.  t_fb = 0 raises ZeroDivisionError("float division") and
/// returns -1 with `step` untouched; so does a record packed without fallback
/// parameters (RuntimeError) rather than reading through a null pointer.
int32_t fallback_source_func(const DiskState* state, const DiskDerived*, const DiskParameters* params,
                             const ClosureResult*, DiskStep* step) noexcept {
    const FallbackParams* fb = params->fallback;
    if (!fb) {
        vq::raise_locked(PyExc_RuntimeError, "fallback_source_func: the packed parameters carry no fallback record");
        return -1;
    }
    if (fb->t_fb == 0.0) {
        vq::raise_float_division();
        return -1;
    }
    const double mdot_fb = fb->M_fb_0 * std::pow(state->t / fb->t_fb, -fb->beta_fb);
    step->dM_dt += mdot_fb;
    const double j = std::exp(0.5 * (std::log(fb->R_c) + (LOG_G_CGS + std::log(params->MBH))));
    step->dJ_dt += mdot_fb * j;
    return 0;
}

[[maybe_unused]] constexpr source_func kSignatureCheck = &fallback_source_func;

int exec_module(PyObject* module) {
    auto init = init_guard.begin();
    if (!init) return -1;
    if (!vq::disk::bind_closure_base(&closure_class)) return -1;
    if (!vq::disk::import_constant("LOG_G_CGS", &LOG_G_CGS)) return -1;
    if (!vq::opacity::bind_bases(&opacity_bases)) return -1;
    if (!vq::export_function(module, "fallback_source_func", &fallback_source_func, vq::disk::kSourceFuncTag))
        return -1;
    init.commit();
    return 0;
}

constexpr const char* kModuleDoc =
    "Fallback mass supply of the one-zone disk (fallback_source_func, exported natively).\n\n"
    "Mdot_fb = M_fb_0 (t / t_fb)^-beta_fb [g s^-1] with M_fb_0 [g s^-1] and t_fb [s], carrying\n"
    "the specific angular momentum sqrt(G MBH R_c) [cm^2 s^-1] of the circularisation radius R_c [cm].";

}  // namespace

VQ_DEFINE_MODULE(_fallback, kModuleName, kModuleDoc, nullptr, exec_module)
