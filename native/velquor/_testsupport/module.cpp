// velquor._testsupport: native helpers of the tests and benchmarks (not a public API).
// The parts are listed in parts.hpp.
#include "parts.hpp"

vq::BoundClass vq::testsupport::closure_class;

namespace {

constexpr const char* kModuleName = "velquor._testsupport";
vq::InitGuard init_guard{"_testsupport"};

int exec_module(PyObject* module) {
    namespace ts = vq::testsupport;
    auto init = init_guard.begin();
    if (!init) return -1;
    if (!vq::disk::bind_closure_base(&ts::closure_class)) return -1;
    if (!ts::add_scripted(module) || !ts::add_floors(module) || !ts::add_raisers(module) || !ts::add_probes(module))
        return -1;
    init.commit();
    return 0;
}

constexpr const char* kModuleDoc = "Native helpers for velquor's tests and benchmarks (not a public API).";

}  // namespace

VQ_DEFINE_MODULE(_testsupport, kModuleName, kModuleDoc, nullptr, exec_module)
