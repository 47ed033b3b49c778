// The embedded Runge-Kutta loop of the one-zone disk, on a host policy.
//
// Plain C++: the loop derives the geometry of each stage state, calls the
// closure, source and derivative callbacks for the stage rates (dM/dt, dJ/dt),
// controls the step on (M, J) with an embedded error estimate and a PI
// controller, and hands accepted states (or dense-output states at requested
// times) to the writer.  "Is an error pending?" after each callback is the
// host's question, as in march_euler.
//
// Invariants of march_adaptive:
//  * every accepted state has a converged thermal closure (the last stage of
//    both pairs is evaluated at the new state and its rates start the next step);
//  * a stage's closure is warm-started from the latest converged closure on the
//    accepted path (the accepted state's, or an earlier stage of the same
//    attempt); a rejected attempt leaves no trace in the warm start, and output
//    evaluations never feed it, so output requests cannot change the trajectory;
//  * a positive closure code on a trial stage only shrinks the step; it is
//    reported (as by the Euler loop) once the retried step would fall below the
//    floor (1e-12 of the interval), and at once for the initial state and for
//    output states; a step that fails the error test below the floor ends the
//    run with STEP_UNDERFLOW;
//  * errors and the other callback failures stop the run at once with the
//    Euler loop's statuses;
//  * the last step is clipped to land on t_end exactly;
//  * no accepted step and no dense output spans a branch jump.  A closure that
//    reports its branch (Extra) defines, with the accepted state's branch, the
//    rates every stage of a step must be on.  A stage that comes out on another
//    branch rejects its attempt and records t_jump, the earliest time the other
//    branch was seen; attempts then aim at half the gap to t_jump, so each one
//    either accepts (the gap halves) or sees the jump earlier (t_jump moves
//    down): a bisection of the jump time, each bisection step an RK attempt.
//    Once the gap is below the jump tolerance -- the time in which the rate
//    difference across the jump moves (M, J) by one error weight -- the jump
//    is crossed by one explicit Euler step to t_jump with the accepted rates,
//    accepted when its local error gap |k_new - k_old| (which bounds the
//    error of placing the jump anywhere in the gap) passes the error test, or
//    when the gap is down to the resolution of t.  The integration then
//    restarts on the new branch from a fresh starting step; dense output
//    inside the crossing lies on its straight line, solved from the branch
//    before the jump.  Rejected attempts feed neither the warm start nor the
//    step controller's memory;
//  * the loop allocates nothing: all records live on its stack and the result
//    columns are preallocated by the caller (possibly uninitialised: each
//    column is zeroed just before the writer fills it).
#pragma once

#include "velquor/core/loop.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace vq::disk {

// ---------------------------------------------------------------------------
// Tableaus
// ---------------------------------------------------------------------------

/// Dormand-Prince 5(4), FSAL, with Shampine's fourth-order continuous extension.
struct Dopri5 {
    static constexpr int kStages = 7;
    static constexpr int kOrder = 5;       ///< order of the propagated solution
    static constexpr int kErrorOrder = 5;  ///< the local error estimate scales as h^kErrorOrder
    static constexpr double c[kStages] = {0.0, 1.0 / 5, 3.0 / 10, 4.0 / 5, 8.0 / 9, 1.0, 1.0};
    static constexpr double a[kStages][kStages] = {
        {},
        {1.0 / 5},
        {3.0 / 40, 9.0 / 40},
        {44.0 / 45, -56.0 / 15, 32.0 / 9},
        {19372.0 / 6561, -25360.0 / 2187, 64448.0 / 6561, -212.0 / 729},
        {9017.0 / 3168, -355.0 / 33, 46732.0 / 5247, 49.0 / 176, -5103.0 / 18656},
        {35.0 / 384, 0.0, 500.0 / 1113, 125.0 / 192, -2187.0 / 6784, 11.0 / 84},
    };
    /// b - b_hat: fifth- minus fourth-order weights.
    static constexpr double e[kStages] = {35.0 / 384 - 5179.0 / 57600,   0.0,
                                          500.0 / 1113 - 7571.0 / 16695, 125.0 / 192 - 393.0 / 640,
                                          -2187.0 / 6784 + 92097.0 / 339200, 11.0 / 84 - 187.0 / 2100,
                                          -1.0 / 40};
    /// Coefficients of the continuous extension.
    static constexpr double d[kStages] = {-12715105075.0 / 11282082432.0, 0.0,
                                          87487479700.0 / 32700410799.0,  -10690763975.0 / 1880347072.0,
                                          701980252875.0 / 199316789632.0, -1453857185.0 / 822651844.0,
                                          69997945.0 / 29380423.0};

    /// y(t0 + theta h) for 0 < theta < 1, component i.
    static double dense(double theta, double h, double y0, double y1, const double (&k)[kStages][2],
                        int i) noexcept {
        const double ydiff = y1 - y0;
        const double bspl = h * k[0][i] - ydiff;
        double r5 = 0.0;
        for (int s = 0; s < kStages; ++s) r5 += d[s] * k[s][i];
        r5 *= h;
        const double theta1 = 1.0 - theta;
        return y0 + theta * (ydiff + theta1 * (bspl + theta * ((ydiff - h * k[6][i] - bspl) + theta1 * r5)));
    }
};

/// Bogacki-Shampine 3(2), FSAL, with cubic Hermite interpolation.
struct Bs32 {
    static constexpr int kStages = 4;
    static constexpr int kOrder = 3;
    static constexpr int kErrorOrder = 3;
    static constexpr double c[kStages] = {0.0, 1.0 / 2, 3.0 / 4, 1.0};
    static constexpr double a[kStages][kStages] = {
        {},
        {1.0 / 2},
        {0.0, 3.0 / 4},
        {2.0 / 9, 1.0 / 3, 4.0 / 9},
    };
    static constexpr double e[kStages] = {2.0 / 9 - 7.0 / 24, 1.0 / 3 - 1.0 / 4, 4.0 / 9 - 1.0 / 3, -1.0 / 8};

    static double dense(double theta, double h, double y0, double y1, const double (&k)[kStages][2],
                        int i) noexcept {
        const double ydiff = y1 - y0;
        return y0 + theta * ydiff +
               theta * (theta - 1.0) * ((1.0 - 2.0 * theta) * ydiff + (theta - 1.0) * h * k[0][i] +
                                        theta * h * k[kStages - 1][i]);
    }
};

namespace rk_detail {

constexpr double abs(double x) { return x < 0.0 ? -x : x; }

/// Row sums of a equal c; the last stage sits at the new state (c = 1) and its
/// row of a holds the propagated weights (FSAL: the loop takes the last stage's
/// state as the new state); the error weights sum to zero.
template <class Method>
constexpr bool consistent() {
    constexpr int S = Method::kStages;
    double e_sum = 0.0;
    for (int i = 0; i < S; ++i) {
        double row = 0.0;
        for (int j = 0; j < i; ++j) row += Method::a[i][j];
        if (abs(row - Method::c[i]) > 1e-14) return false;
        e_sum += Method::e[i];
    }
    return Method::c[S - 1] == 1.0 && abs(e_sum) < 1e-15;
}

}  // namespace rk_detail

static_assert(rk_detail::consistent<Dopri5>() && rk_detail::consistent<Bs32>());

// ---------------------------------------------------------------------------
// Run description
// ---------------------------------------------------------------------------

/// Error control and output of one run.
struct AdaptiveOptions {
    double rtol = 1e-6;        ///< relative tolerance, in (0, 1)
    double atol = 0.0;         ///< absolute tolerance on M [g] and J [g cm^2 s^-1], >= 0
    int32_t max_steps = 1;     ///< column capacity (no t_eval) or accepted-step budget (with t_eval)
    const double* t_eval = nullptr;  ///< sorted output times within [t_start, t_end], or null
    int32_t n_eval = 0;        ///< number of output times (the column capacity with t_eval)
    int32_t rows = 0;          ///< rows of the result; each column is zeroed before the writer fills it
};

// ---------------------------------------------------------------------------
// The loop
// ---------------------------------------------------------------------------

namespace rk_detail {

/// Step-size controller constants.
inline constexpr double kSafety = 0.9;
inline constexpr double kFacMin = 0.2;   ///< largest shrink after an error-test rejection
inline constexpr double kFacMax = 10.0;  ///< largest growth after an acceptance
inline constexpr double kFailShrink = 0.25;  ///< shrink after a failed closure or a non-finite error
inline constexpr double kFloorFraction = 1e-12;

/// Smallest step that still moves t visibly: a few units in its last place.
inline double time_resolution(double t) noexcept {
    const double ulp = std::nextafter(std::fabs(t), std::numeric_limits<double>::infinity()) - std::fabs(t);
    return 16.0 * ulp;
}

/// Smallest step a rejection may shrink to before the run gives up: a fraction
/// of the interval.  Steps proposed without a rejection (the starting step, the
/// controller after an acceptance) only need to move t.
inline double step_floor(double t, double span) noexcept {
    return std::max(kFloorFraction * span, time_resolution(t));
}

/// Hairer's scaled RMS norm of `v` with weights atol + rtol max(|y0|, |y1|).  A
/// zero weight accepts only an exactly zero entry.
inline double scaled_norm(const double v[2], const double y0[2], const double y1[2], double rtol,
                          double atol) noexcept {
    double sum = 0.0;
    for (int i = 0; i < 2; ++i) {
        const double w = atol + rtol * std::max(std::fabs(y0[i]), std::fabs(y1[i]));
        if (w > 0.0) {
            const double r = v[i] / w;
            sum += r * r;
        } else if (v[i] != 0.0) {
            return std::numeric_limits<double>::infinity();
        }
    }
    return std::sqrt(0.5 * sum);
}

}  // namespace rk_detail

/// Integrate (M, J) from t_start to t_end with the embedded pair `Method`.
///
/// Without `opt.t_eval`, column k of `result` (rows x opt.max_steps,
/// row-major) holds the k-th accepted state (column 0 the initial state) with
/// its closure and rates, and dt = the accepted step that leads away from it
/// (0 in the last column), so t[k+1] = t[k] + dt[k].  The run stops at t_end or
/// when opt.max_steps columns are written, whichever comes first.
///
/// With `opt.t_eval`, column j (rows x opt.n_eval) holds the dense-output state
/// at t_eval[j] with its own closure and rates, and dt = the accepted step
/// that spans t_eval[j]; the run stops once every column is written, and fails
/// with STEP_LIMIT when opt.max_steps steps do not reach the last time.
///
/// The outcome's status is SUCCESS or the failure that stopped the run; its
/// columns are the complete columns written either way, its state the last
/// accepted state.
template <class Method, class Host>
RunOutcome march_adaptive(const double initial_state[2], double* result, double t_start, double t_end,
                          const AdaptiveOptions& opt, const DiskCallbacks& cb, const DiskParameters& params,
                          const Host& host) noexcept {
    namespace st = vq::status;
    using namespace rk_detail;
    constexpr int S = Method::kStages;
    constexpr double kNever = std::numeric_limits<double>::infinity();
    const bool dense_mode = opt.t_eval != nullptr;
    const int32_t capacity = dense_mode ? opt.n_eval : opt.max_steps;
    const double span = t_end - t_start;
    const double rtol = opt.rtol, atol = opt.atol;
    const double alpha = 0.7 / Method::kErrorOrder, beta = 0.4 / Method::kErrorOrder;

    RunOutcome out;
    out.state = DiskState{t_start, initial_state[0], initial_state[1]};

    DiskPoint cur{};    // the accepted state
    DiskPoint stage{};  // the stage being evaluated
    DiskPoint shown{};  // a dense-output state being written
    ClosureRecord warm_rec;  // the latest converged stage closure of the attempt
    cur.state = out.state;
    const ClosureResult none{};  // "no previous solution"
    double k[S][2] = {};
    int32_t columns = 0;    // complete columns written without t_eval
    int32_t next_eval = 0;  // complete columns written with t_eval
    int32_t code = 0;       // what a failed closure returned

    auto finish = [&](st::Code status) {
        out.status = status;
        out.columns = dense_mode ? next_eval : columns;
        out.state = cur.state;
        return out;
    };
    auto fail = [&](st::Code status, int32_t closure_code) {
        out.closure_code = closure_code;
        return finish(status);
    };
    /// A closure failure with a positive code is a state the closure cannot
    /// solve: a smaller step may avoid it.  Anything else ends the run.
    auto retryable = [](st::Code status, int32_t closure_code) {
        return st::is_closure_failure(status) && closure_code > 0;
    };
    auto evaluate = [&](DiskPoint& p, const ClosureResult& prev) {
        ++out.evaluations;
        return evaluate_rates(p, prev, cb, params, host, &code);
    };
    auto write = [&](int32_t column, const DiskPoint& p, double dt) {
        for (int32_t f = 0; f < opt.rows; ++f) result[static_cast<std::ptrdiff_t>(f) * capacity + column] = 0.0;
        DiskStep step = p.step;
        step.dt = dt;
        return write_column(cb, column, p, step, params, result, capacity, host);
    };
    auto rates = [](const DiskPoint& p, double r[2]) {
        r[0] = p.step.dM_dt;
        r[1] = p.step.dJ_dt;
    };

    // The initial state: no smaller step to retry with.
    if (const st::Code status = evaluate(cur, none)) return fail(status, code);
    rates(cur, k[0]);

    if (!dense_mode && capacity == 1) {
        if (const st::Code status = write(0, cur, 0.0)) return finish(status);
        ++columns;
        return finish(st::SUCCESS);
    }

    // A closure that reports its branch gets its branch jumps located (see the
    // header of this file); for any other closure none of that code runs.
    const bool tracks_branch = reports_branch(cur.closure);
    auto other_branch = [&](const DiskPoint& p) {
        return tracks_branch && branch_of(p.closure) != branch_of(cur.closure);
    };

    // Starting step (Hairer, Norsett & Wanner, Solving ODEs I, II.4) from the
    // accepted state, with its fall-backs relative to the interval so that the
    // time unit does not matter.
    double h = 0.0;
    auto starting_step = [&]() -> st::Code {
        const double t0 = cur.state.t, remaining = t_end - t0;
        const double y0[2] = {cur.state.M, cur.state.J};
        double dy2 = 0.0, df2 = 0.0;
        for (int i = 0; i < 2; ++i) {
            const double w = atol + rtol * std::fabs(y0[i]);
            const double ry = y0[i] / w, rf = k[0][i] / w;
            dy2 += ry * ry;
            df2 += rf * rf;
        }
        h = (dy2 <= 1e-10 || df2 <= 1e-10 || !std::isfinite(dy2 / df2)) ? 1e-6 * span : 0.01 * std::sqrt(dy2 / df2);
        h = std::min(h, remaining);
        if (!(h > 0.0)) h = 1e-6 * span;
        for (;;) {
            stage.state = DiskState{t0 + h, y0[0] + h * k[0][0], y0[1] + h * k[0][1]};
            const st::Code status = evaluate(stage, cur.closure);
            if (status == st::SUCCESS) break;
            if (!retryable(status, code)) return status;
            h *= 0.1;  // the trial state left the closure's domain: look closer
            out.h = h;
            if (h < step_floor(t0, span)) return status;
        }
        double dd2 = 0.0;
        for (int i = 0; i < 2; ++i) {
            const double w = atol + rtol * std::fabs(y0[i]);
            const double r = (i == 0 ? stage.step.dM_dt : stage.step.dJ_dt) - k[0][i];
            dd2 += (r / w) * (r / w);
        }
        const double der = std::max(std::sqrt(dd2) / h, std::sqrt(df2));
        const double h1 = (der <= 1e-15 || !std::isfinite(der)) ? std::max(1e-6 * span, h * 1e-3)
                                                                 : std::pow(0.01 / der, 1.0 / Method::kErrorOrder);
        h = std::min({100.0 * h, h1, remaining});
        return st::SUCCESS;
    };
    if (const st::Code status = starting_step()) return fail(status, code);

    // Branch-jump location: the earliest time a stage was seen on another
    // branch since the last accepted state (kNever: none), and the gap to it
    // below which the crossing is tried.
    double t_jump = kNever, jump_tolerance = 0.0;

    double err_prev = 1e-4;
    for (;;) {
        if (!dense_mode && columns + 1 == capacity) {  // room for the current state only
            if (const st::Code status = write(columns, cur, 0.0)) return finish(status);
            ++columns;
            return finish(st::SUCCESS);
        }
        const double t = cur.state.t;
        const double y[2] = {cur.state.M, cur.state.J};
        const double floor = step_floor(t, span);
        const double resolution = time_resolution(t);
        const int64_t rejected_before = out.rejected;

        // One step: attempts until one passes the error test.  `why` is the
        // closure failure of the latest failed attempt (SUCCESS: the error test
        // failed), `why_code` what the closure returned.  `crossing`: the step
        // taken is the crossing of a branch jump (an Euler step, see below).
        double err = 0.0;
        bool last = false, crossing = false;
        st::Code why = st::SUCCESS;
        int32_t why_code = 0;
        for (;;) {
            const bool jump_ahead = t_jump < kNever;
            const double gap = t_jump - t;
            if (jump_ahead && gap <= std::max(jump_tolerance, 2.0 * resolution)) {
                // The crossing: one explicit Euler step with the rates of the
                // accepted state to the earliest time seen on the other branch,
                // accepted when its local error g |k_new - k_old| (which bounds
                // both the smooth part and the jump) passes the error test.
                stage.state = DiskState{t_jump, y[0] + gap * k[0][0], y[1] + gap * k[0][1]};
                out.h = gap;
                const st::Code status = evaluate(stage, cur.closure);
                if (status != st::SUCCESS) {
                    if (!retryable(status, code)) return fail(status, code);
                    ++out.rejected;
                    why = status, why_code = code;
                    t_jump = kNever;
                    h = gap * kFailShrink;
                    continue;
                }
                double dk[2], k_new[2];
                rates(stage, k_new);
                for (int i = 0; i < 2; ++i) dk[i] = gap * (k_new[i] - k[0][i]);
                const double y1[2] = {stage.state.M, stage.state.J};
                err = scaled_norm(dk, y, y1, rtol, atol);
                const bool jumped = other_branch(stage);
                if (!jumped) t_jump = kNever;  // not on the other branch here after all
                if (!(err <= 1.0) && gap > 2.0 * resolution) {  // finer than the resolution of t it cannot go
                    ++out.rejected;
                    why = st::SUCCESS;
                    if (jumped) jump_tolerance = gap / (std::isfinite(err) ? err : 1e300);
                    h = 0.5 * gap;
                    continue;
                }
                k[S - 1][0] = k_new[0];
                k[S - 1][1] = k_new[1];
                h = gap;
                last = stage.state.t >= t_end;
                crossing = true;
                break;
            }
            if (jump_ahead) h = std::min(h, 0.5 * gap);  // bisect towards the jump
            last = t + 1.01 * h >= t_end;
            if (last) h = t_end - t;
            out.h = h;
            const bool retried = out.rejected > rejected_before;
            if (!(h >= (retried && !jump_ahead ? floor : resolution)) && !last) {
                if (why != st::SUCCESS) return fail(why, why_code);
                out.h = retried ? floor : resolution;
                return finish(st::STEP_UNDERFLOW);
            }
            const ClosureResult* warm = &cur.closure;
            st::Code failed = st::SUCCESS;
            bool straddles = false;
            for (int s = 1; s < S; ++s) {
                double yi[2];
                for (int i = 0; i < 2; ++i) {
                    double acc = 0.0;
                    for (int j = 0; j < s; ++j) acc += Method::a[s][j] * k[j][i];
                    yi[i] = y[i] + h * acc;
                }
                const double ts = (s == S - 1 && last) ? t_end : t + Method::c[s] * h;
                stage.state = DiskState{ts, yi[0], yi[1]};
                const st::Code status = evaluate(stage, *warm);
                if (status != st::SUCCESS) {
                    if (!retryable(status, code)) return fail(status, code);
                    failed = status;
                    break;
                }
                rates(stage, k[s]);
                if (other_branch(stage)) {
                    // The step straddles a jump: remember where, and how finely
                    // it must be located for the crossing to meet the tolerance.
                    straddles = true;
                    if (ts < t_jump) {
                        double dk[2] = {k[s][0] - k[0][0], k[s][1] - k[0][1]};
                        const double norm = scaled_norm(dk, y, y, rtol, atol);
                        t_jump = ts;
                        jump_tolerance = norm > 0.0 ? 1.0 / norm : kNever;
                    }
                    break;
                }
                warm_rec = stage.closure;  // the next stage starts from this solution
                warm = &warm_rec;
            }
            if (failed != st::SUCCESS) {
                ++out.rejected;
                why = failed;
                why_code = code;
                h *= kFailShrink;
                continue;
            }
            if (straddles) {
                ++out.rejected;
                why = st::SUCCESS;
                continue;  // the next attempt halves the gap to t_jump
            }
            double est[2];
            for (int i = 0; i < 2; ++i) {
                double acc = 0.0;
                for (int s = 0; s < S; ++s) acc += Method::e[s] * k[s][i];
                est[i] = h * acc;
            }
            const double y1[2] = {stage.state.M, stage.state.J};
            err = scaled_norm(est, y, y1, rtol, atol);
            if (err <= 1.0) break;
            ++out.rejected;
            why = st::SUCCESS;
            h *= std::isfinite(err) ? std::max(kFacMin, kSafety * std::pow(err, -1.0 / Method::kErrorOrder))
                                    : kFailShrink;
        }

        // Accepted: the last stage is the new state.
        ++out.accepted;
        const double h_done = h;
        if (dense_mode) {
            // Inside a crossing the output lies on its straight line, solved from
            // the branch before the jump; no polynomial spans a jump.
            const ClosureRecord& warm_out = crossing ? cur.closure : stage.closure;
            const double t_new = stage.state.t;
            while (next_eval < capacity && opt.t_eval[next_eval] <= t_new) {
                const double te = opt.t_eval[next_eval];
                const double theta = (te - t) / h_done;
                if (te <= t) {
                    shown.state = cur.state;
                } else if (te >= t_new) {
                    shown.state = stage.state;
                } else if (crossing) {
                    shown.state = DiskState{te, y[0] + (te - t) * k[0][0], y[1] + (te - t) * k[0][1]};
                } else {
                    shown.state = DiskState{te, Method::dense(theta, h_done, y[0], stage.state.M, k, 0),
                                            Method::dense(theta, h_done, y[1], stage.state.J, k, 1)};
                }
                shown.state.t = te;
                const ClosureRecord& warm_shown = te >= t_new ? stage.closure : warm_out;
                if (const st::Code status = evaluate(shown, warm_shown)) return fail(status, code);
                if (const st::Code status = write(next_eval, shown, h_done)) return finish(status);
                ++next_eval;
            }
        } else {
            if (const st::Code status = write(columns, cur, h_done)) return finish(status);
            ++columns;
        }

        if (crossing && other_branch(stage)) ++out.jumps;
        cur = stage;
        k[0][0] = k[S - 1][0];
        k[0][1] = k[S - 1][1];

        if (crossing) {
            // Restart (on the new branch, or after a crossing that found none):
            // no step-size history carries over a jump.
            t_jump = kNever;
            err_prev = 1e-4;
            if (!last)
                if (const st::Code status = starting_step()) return fail(status, code);
        } else {
            // PI control of the next step; no growth right after a rejection.
            const double e_acc = std::max(err, 1e-10);
            double fac = kSafety * std::pow(e_acc, -alpha) * std::pow(err_prev, beta);
            fac = std::clamp(fac, kFacMin, out.rejected > rejected_before ? 1.0 : kFacMax);
            err_prev = std::max(err, 1e-4);
            h = h_done * fac;
        }

        if (dense_mode) {
            if (next_eval == capacity) return finish(st::SUCCESS);
            if (out.accepted >= opt.max_steps) return finish(st::STEP_LIMIT);
        } else if (last) {
            if (const st::Code status = write(columns, cur, 0.0)) return finish(status);
            ++columns;
            return finish(st::SUCCESS);
        }
    }
}

}  // namespace vq::disk
