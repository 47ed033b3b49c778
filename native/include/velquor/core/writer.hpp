// The standard result writer (a writer callback), on a host policy.
//
// The standard result writer: one column of linear CGS values per step,
// expanded from the step's records, in the rows of velquor/core/rows.hpp.
// Independent of the equation of state and of the opacity law.  The extended
// writer appends the rows of a closure that reports extra values (Extra).
#pragma once

#include "velquor/core/host.hpp"
#include "velquor/core/records.hpp"
#include "velquor/core/rows.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace vq::disk {

/// A writer_func: row f of this column goes to result_array[f * n_steps +
/// step_index].  R = 0 raises "float division" through the host and returns -1
/// with rows H_OVER_R and RHO unwritten.
template <class Host>
int32_t write_standard_column(const int32_t step_index, const DiskState* state, const DiskDerived* derived,
                              const DiskParameters*, const ClosureResult* closure, const DiskStep* step,
                              double* result_array, int32_t n_steps) noexcept {
    namespace r = vq::rows;
    const double H = std::exp(closure->log_cs - std::log(derived->Omega));
    const double rho = std::exp(closure->log_rho);
    double* column = result_array + step_index;
    const std::ptrdiff_t stride = n_steps;
    auto put = [&](r::Row row, double value) { column[row * stride] = value; };

    put(r::STEP, static_cast<double>(step_index));
    put(r::T, state->t);
    put(r::M, state->M);
    put(r::J, state->J);
    put(r::R, derived->R);
    put(r::SIGMA, derived->Sigma);
    put(r::OMEGA, derived->Omega);
    put(r::T_EFF, std::exp(closure->log_T_eff));
    put(r::T_C, std::exp(closure->log_T_c));
    put(r::TAU, std::exp(closure->log_tau));
    put(r::CS, std::exp(closure->log_cs));
    put(r::NU, std::exp(closure->log_nu));
    put(r::Q_VISC, std::exp(closure->log_q_visc));
    put(r::DM_DT, step->dM_dt);
    put(r::DJ_DT, step->dJ_dt);
    put(r::DT, step->dt);
    put(r::T_VISC, closure->t_visc);
    put(r::H, H);
    if (derived->R == 0.0) {
        const Host host{};
        host.raise(core::Error::kZeroDivision, core::kFloatDivision);
        return -1;
    }
    put(r::H_OVER_R, H / derived->R);
    put(r::RHO, rho);
    return 0;
}

/// A writer_func: the standard column, then rows F_RAD and BRANCH from the
/// closure's extra values (NaN where the closure reported none), so n_steps
/// columns of EXTENDED_COUNT rows.
template <class Host>
int32_t write_extended_column(const int32_t step_index, const DiskState* state, const DiskDerived* derived,
                              const DiskParameters* params, const ClosureResult* closure, const DiskStep* step,
                              double* result_array, int32_t n_steps) noexcept {
    namespace r = vq::rows;
    const int32_t status =
        write_standard_column<Host>(step_index, state, derived, params, closure, step, result_array, n_steps);
    if (status != 0) return status;
    auto extra = [&](int32_t k) {
        return closure->extra && closure->n_extra > k ? closure->extra[k] : std::numeric_limits<double>::quiet_NaN();
    };
    double* column = result_array + step_index;
    column[static_cast<std::ptrdiff_t>(r::F_RAD) * n_steps] = extra(RADIATED_FRACTION);
    column[static_cast<std::ptrdiff_t>(r::BRANCH) * n_steps] = extra(BRANCH);
    return 0;
}

}  // namespace vq::disk
