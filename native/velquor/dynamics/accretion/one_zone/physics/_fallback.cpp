// velquor.dynamics.accretion.one_zone.physics._fallback: fallback mass supply.
//
// fallback_source_func is velquor/core/fallback.hpp with the interpreter as
// host: the power-law return of tidally disrupted debris, arriving with the
// specific angular momentum of the circularisation radius.
#include "velquor/bind/capi.hpp"
#include "velquor/bind/disk.hpp"
#include "velquor/bind/host.hpp"
#include "velquor/bind/opacity.hpp"
#include "velquor/core/fallback.hpp"

namespace {

constexpr const char* kModuleName = "velquor.dynamics.accretion.one_zone.physics._fallback";
constexpr const char* kModuleDoc =
    "Fallback mass supply of the one-zone disk (fallback_source_func, exported natively).\n\n"
    "Mdot_fb = M_fb_0 (t / t_fb)^-beta_fb [g s^-1] with M_fb_0 [g s^-1] and t_fb [s], carrying\n"
    "the specific angular momentum sqrt(G MBH R_c) [cm^2 s^-1] of the circularisation radius R_c [cm].";
vq::BoundClass closure_class;
vq::opacity::Bases opacity_bases;

constexpr source_func fallback_source_func = &vq::disk::fallback_supply<vq::InterpreterHost>;

bool setup(PyObject* module) noexcept {
    if (!vq::disk::bind_closure_base(&closure_class)) return false;
    if (!vq::opacity::bind_bases(&opacity_bases)) return false;
    return vq::export_function(module, "fallback_source_func", fallback_source_func, vq::disk::kSourceFuncTag);
}

}  // namespace

VQ_DEFINE_MODULE(_fallback, kModuleName, kModuleDoc, nullptr, setup)
