// velquor.dynamics.accretion.one_zone._status: the status table of the root finder, closures and integrators.
//
// STATUSES is velquor/core/status.hpp as Python sees it: one (code, name,
// message) per status.  The package builds its Status enum from it, so that
// failures are told apart by code, never by their text.
#include "velquor/bind/capi.hpp"
#include "velquor/core/status.hpp"

#include <iterator>

namespace {
constexpr const char* kModuleDoc =
    "Status table of the one-zone disk model.\n\n"
    "STATUSES holds (code, name, message) for every status: the root finder's results\n"
    "(0 SUCCESS .. 4 MAX_ITER, passed on by the thermal closures), -1 ERROR_PENDING (an\n"
    "exception is pending), the integrators' stage failures (-10 .. -50) and the closure\n"
    "failures an integrator reports (-100 - k for a closure that returned k = 1 .. 4,\n"
    "-100 for any other code).  Each value has one meaning.  In a message, {} stands for\n"
    "a number the failure carries.";

PyObject* statuses() noexcept {
    constexpr Py_ssize_t n = static_cast<Py_ssize_t>(std::size(vq::status::kTable));
    vq::Ref table = vq::Ref::steal(PyTuple_New(n));
    for (Py_ssize_t k = 0; table && k < n; ++k) {
        const vq::status::Info& info = vq::status::kTable[k];
        PyObject* row = Py_BuildValue("(iss)", static_cast<int>(info.code), info.name, info.message);
        if (!row) return nullptr;
        PyTuple_SET_ITEM(table.get(), k, row);
    }
    return table.release();
}

bool setup(PyObject* module) noexcept {
    return vq::add_object(module, "STATUSES", statuses());
}

}  // namespace

VQ_DEFINE_MODULE(_status, "velquor.dynamics.accretion.one_zone._status", kModuleDoc, nullptr, setup)
