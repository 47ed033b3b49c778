// What both time loops share: geometry, one evaluation of the rates, the outcome.
#pragma once

#include "velquor/core/constants.hpp"
#include "velquor/core/records.hpp"
#include "velquor/core/status.hpp"

#include <cmath>
#include <cstdint>

namespace vq::disk {

/// Geometry of the disk from its mass, angular momentum and the black-hole mass:
/// J = XI M sqrt(G MBH R), Sigma = M / (A pi R^2), Omega = sqrt(G MBH / R^3).
inline DiskDerived derive_geometry(const DiskState& s, double MBH) noexcept {
    using namespace vq::constants;
    const double log_m = std::log(s.M);
    const double log_j = std::log(s.J);
    const double log_MBH = std::log(MBH);
    const double log_r = 2.0 * (log_j - LOG_DISK_XI - log_m) - LOG_G_CGS - log_MBH;
    const double log_sigma = log_m - 2.0 * log_r - LOG_PI - LOG_DISK_A;
    const double log_omega = 0.5 * (LOG_G_CGS + log_MBH - 3.0 * log_r);
    return DiskDerived{std::exp(log_r), std::exp(log_sigma), std::exp(log_omega)};
}

/// What a run ended with.
struct RunOutcome {
    vq::status::Code status = vq::status::SUCCESS;  ///< SUCCESS, or why the run stopped
    int32_t columns = 0;       ///< complete result columns written (on failure too: the leading ones)
    int32_t closure_code = 0;  ///< on a closure failure: what the closure returned
    /// Where the run stopped.  On failure: the state it could not get past (the
    /// Euler loop's current state; the adaptive loop's last accepted state).
    DiskState state{};
    double h = 0.0;            ///< adaptive: the last step tried (STEP_UNDERFLOW: the floor crossed)
    int64_t accepted = 0;      ///< adaptive: accepted steps
    int64_t rejected = 0;      ///< adaptive: rejected attempts (error test or closure failure)
    int64_t evaluations = 0;   ///< adaptive: closure evaluations, output evaluations included
    int64_t jumps = 0;         ///< adaptive: branch jumps crossed (closures that report a branch)
};

/// A closure record with room of its own for the closure's extra values
/// (Extra), kept by value: a copy carries the values, and its `extra` points at
/// the copy's own room.  (A record whose closure pointed `extra` elsewhere keeps
/// that pointer.)  The default record is "no previous solution": every number
/// 0.0, `extra` null.
struct ClosureRecord : ClosureResult {
    double room[kExtraCapacity] = {};

    ClosureRecord() noexcept : ClosureResult{} {}
    ClosureRecord(const ClosureRecord& o) noexcept : ClosureResult{} { *this = o; }
    ClosureRecord& operator=(const ClosureRecord& o) noexcept {
        static_cast<ClosureResult&>(*this) = o;
        for (int32_t k = 0; k < kExtraCapacity; ++k) room[k] = o.room[k];
        if (o.extra == o.room) extra = room;
        return *this;
    }

    /// Offer the room to a closure about to fill this record.
    void offer() noexcept {
        extra = room;
        n_extra = 0;
    }
};

/// Everything the writer needs about one state.
struct DiskPoint {
    DiskState state;
    DiskDerived derived;
    ClosureRecord closure;
    DiskStep step;  ///< the rates come from source + derivative; dt from the derivative or the loop
};

/// The rates at `p.state`: geometry, closure (warm-started from `prev`, its
/// room for extra values offered), source, derivative.  Returns SUCCESS;
/// ERROR_PENDING (the host has an error); a CLOSURE_* status with what the
/// closure returned in *closure_code; or SOURCE_FAIL / DERIVATIVE_FAIL.
/// `p.step` enters the source as zeros.
template <class Host>
vq::status::Code evaluate_rates(DiskPoint& p, const ClosureResult& prev, const DiskCallbacks& cb,
                                const DiskParameters& params, const Host& host, int32_t* closure_code) noexcept {
    namespace st = vq::status;
    p.derived = derive_geometry(p.state, params.MBH);
    p.closure.offer();
    int32_t status = cb.closure(&p.state, &p.derived, &params, &prev, &p.closure);
    if (host.error_pending()) return st::ERROR_PENDING;
    if (status != 0) {  // > 0: the solve failed; < 0 outside the contract, still a failure, never a column
        *closure_code = status;
        return st::closure_failure(status);
    }
    p.step = DiskStep{0.0, 0.0, 0.0};
    if (cb.source) {
        status = cb.source(&p.state, &p.derived, &params, &p.closure, &p.step);
        if (host.error_pending()) return st::ERROR_PENDING;
        if (status != 0) return st::SOURCE_FAIL;
    }
    status = cb.derivative(&p.state, &p.derived, &params, &p.closure, &p.step);
    if (host.error_pending()) return st::ERROR_PENDING;
    if (status != 0) return st::DERIVATIVE_FAIL;
    return st::SUCCESS;
}

/// One column of the result through the writer: SUCCESS, ERROR_PENDING or WRITER_FAIL.
template <class Host>
vq::status::Code write_column(const DiskCallbacks& cb, int32_t column, const DiskPoint& p, const DiskStep& step,
                              const DiskParameters& params, double* result, int32_t capacity,
                              const Host& host) noexcept {
    const int32_t status = cb.writer(column, &p.state, &p.derived, &params, &p.closure, &step, result, capacity);
    if (host.error_pending()) return vq::status::ERROR_PENDING;
    return status != 0 ? vq::status::WRITER_FAIL : vq::status::SUCCESS;
}

}  // namespace vq::disk
