// The explicit Euler loop of the one-zone disk, on a host policy.
//
// Plain C++: the loop derives the geometry, calls the four callbacks in the
// order closure, source, derivative, writer, and applies the Euler update.
// "Is an error pending?" after each callback is the host's question
// (velquor/core/host.hpp), so the integrator (which must ask) and a benchmark
// floor or a native test (which ask nothing) run the very same loop.
#pragma once

#include "velquor/core/loop.hpp"

#include <cstdint>

namespace vq::disk {

/// March (M, J) from t_start with explicit Euler steps, writing one result column
/// per step into `result` (rows x max_steps, row-major), until t_end is reached
/// or max_steps columns are written.  The outcome's status is SUCCESS or the
/// failure that stopped the run (velquor/core/status.hpp); its columns are the
/// columns written either way, and on failure its state is the one whose step
/// failed.  `cb.source` may be null.
///
/// Invariants: column k holds the state after k steps together with the step
/// that leads away from it; the state reached by the last update is not
/// written; the step is never clipped to t_end; each solve is warm-started
/// from the whole previous record, its extra values (a branch) included, kept
/// by value (ClosureRecord).  A closure that tracks a branch jumps within one
/// step like any other change of state: the first-order error of that step is
/// the Euler error, epsilon of the time scales of the state it starts from.
template <class Host>
RunOutcome march_euler(const double initial_state[2], double* result, double t_start, double t_end,
                       int32_t max_steps, const DiskCallbacks& cb, const DiskParameters& params,
                       const Host& host) noexcept {
    RunOutcome out;
    DiskPoint p{};
    p.state = DiskState{t_start, initial_state[0], initial_state[1]};
    ClosureRecord prev;  // "no previous solution": every numeric field 0.0, extra null

    for (;;) {
        vq::status::Code status = evaluate_rates(p, prev, cb, params, host, &out.closure_code);
        if (status == vq::status::SUCCESS)
            status = write_column(cb, out.columns, p, p.step, params, result, max_steps, host);
        if (status != vq::status::SUCCESS) {
            out.status = status;
            out.state = p.state;
            return out;
        }
        ++out.columns;
        prev = p.closure;

        p.state.t += p.step.dt;
        p.state.M += p.step.dM_dt * p.step.dt;
        p.state.J += p.step.dJ_dt * p.step.dt;

        if (p.state.t >= t_end || out.columns >= max_steps) {
            out.state = p.state;
            return out;
        }
    }
}

}  // namespace vq::disk
