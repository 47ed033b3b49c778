// The interpreter as the host of the numerics (velquor/core/host.hpp).
#pragma once

#include "velquor/bind/capi.hpp"
#include "velquor/core/host.hpp"

namespace vq {

/// Host of a core running in an extension module, with or without the
/// interpreter lock.  Made once per native call: it finds the calling thread's
/// exception indicator when it is made (vq::thread_errors), and each check is
/// then a load.  Raising and traceback entries take the lock for the moment
/// they need it.
class InterpreterHost {
public:
    InterpreterHost() noexcept : errors_(vq::thread_errors()) {}

    bool error_pending() const noexcept { return vq::error_pending(errors_); }

    void traceback(const core::Site& where) const noexcept {
        vq::add_traceback(where.qualname, where.file, where.line);
    }

    void raise(core::Error kind, const char* message) const noexcept {
        vq::raise_locked(kind == core::Error::kZeroDivision ? PyExc_ZeroDivisionError : PyExc_RuntimeError, message);
    }

private:
    vq::ThreadErrors errors_;
};

}  // namespace vq
