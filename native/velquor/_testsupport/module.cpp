// velquor._testsupport: native helpers of the tests and benchmarks (not a public API).
// The parts are listed in parts.hpp.
#include "parts.hpp"

vq::BoundClass vq::testsupport::closure_class;

namespace {

constexpr const char* kModuleName = "velquor._testsupport";
constexpr const char* kModuleDoc = "Native helpers for velquor's tests and benchmarks (not a public API).";

bool setup(PyObject* module) noexcept {
    namespace ts = vq::testsupport;
    return vq::disk::bind_closure_base(&ts::closure_class) && ts::add_scripted(module) && ts::add_floors(module) &&
           ts::add_raisers(module) && ts::add_probes(module);
}

}  // namespace

VQ_DEFINE_MODULE(_testsupport, kModuleName, kModuleDoc, nullptr, setup)
