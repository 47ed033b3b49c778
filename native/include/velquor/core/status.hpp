// The status table: every status with its name and message; the out-of-bounds modes.
//
// One table, one meaning per value:
//   0 .. 4      the root finder's results, passed on unchanged by the thermal
//               closures (the root finder's and the closures' native ABI);
//   -1          an error is pending with the host (an exception, in the
//               interpreter) -- root finder, callbacks and integrators alike;
//   -10 .. -50  an integrator stage failed without an error;
//   -100 - k    an integrator's closure returned k (1 .. 4) without an error;
//               any other closure code is -100, CLOSURE_UNRECOGNISED.
// The integrators' messages are the exact texts of their RuntimeErrors; a "{}"
// in a message is filled in, in order, with the numbers the failure carries
// (floats as the interpreter's str() renders them).  The numbers inside the
// messages ("(-2)") are the historic labels of the closure failures and stay
// as they are.
#pragma once

#include <cstdint>

namespace vq::status {

enum Code : int32_t {
    SUCCESS = 0,
    FUNC_ERROR = 1,
    EXPAND_FAIL = 2,
    NO_BRACKET = 3,
    MAX_ITER = 4,
    ERROR_PENDING = -1,
    DERIVATIVE_FAIL = -10,
    WRITER_FAIL = -20,
    SOURCE_FAIL = -30,
    STEP_UNDERFLOW = -40,
    STEP_LIMIT = -50,
    CLOSURE_UNRECOGNISED = -100,
    CLOSURE_FUNC_ERROR = -101,
    CLOSURE_EXPAND_FAIL = -102,
    CLOSURE_NO_BRACKET = -103,
    CLOSURE_MAX_ITER = -104,
};

/// A status with its name and its message.
struct Info {
    Code code;
    const char* name;
    const char* message;
};

inline constexpr Info kTable[] = {
    {SUCCESS, "SUCCESS", "result written"},
    {FUNC_ERROR, "FUNC_ERROR", "the function failed: it returned non-zero without an error pending"},
    {EXPAND_FAIL, "EXPAND_FAIL", "no sign change within the allowed bracket expansions"},
    {NO_BRACKET, "NO_BRACKET", "the bracket values have the same strict sign"},
    {MAX_ITER, "MAX_ITER", "the evaluation budget is used up; the best estimate is written"},
    {ERROR_PENDING, "ERROR_PENDING", "an error is pending with the host"},
    {DERIVATIVE_FAIL, "DERIVATIVE_FAIL",
     "DERIVATIVE_FAIL (-10): the derivative function returned a non-zero status (internal error)."},
    {WRITER_FAIL, "WRITER_FAIL",
     "WRITER_FAIL (-20): the writer function returned a non-zero status (internal error)."},
    {SOURCE_FAIL, "SOURCE_FAIL",
     "SOURCE_FAIL (-30): the source function returned a non-zero status (internal error)."},
    {STEP_UNDERFLOW, "STEP_UNDERFLOW",
     "STEP_UNDERFLOW (-40): the step size fell below its floor of {} s at t = {} s without meeting the error "
     "tolerance; the rates are not finite or the solution is not smooth there."},
    {STEP_LIMIT, "STEP_LIMIT",
     "STEP_LIMIT (-50): max_steps ({}) steps taken by t = {} s, before the last t_eval time {} s."},
    {CLOSURE_UNRECOGNISED, "CLOSURE_UNRECOGNISED", "Integrator returned unrecognised error code {}."},
    {CLOSURE_FUNC_ERROR, "CLOSURE_FUNC_ERROR",
     "CLOSURE / FUNC_ERROR (-1): the root-finding residual callback returned non-zero \u2014 NaN or Inf "
     "encountered in the disk state or residual."},
    {CLOSURE_EXPAND_FAIL, "CLOSURE_EXPAND_FAIL",
     "CLOSURE / EXPAND_FAIL (-2): bracket expansion could not find a sign change in [T_min, T_max].  The disk "
     "state (surface density, \u03a9) may be outside the physical range supported by this closure."},
    {CLOSURE_NO_BRACKET, "CLOSURE_NO_BRACKET",
     "CLOSURE / NO_BRACKET (-3): both bracket endpoints have the same sign after expansion \u2014 no root "
     "detected in the search domain."},
    {CLOSURE_MAX_ITER, "CLOSURE_MAX_ITER",
     "CLOSURE / MAX_ITER (-4): Brent's method did not converge within the iteration limit."},
};

/// The entry of `code`, or null for a value that is no status.
constexpr const Info* find(int32_t code) noexcept {
    for (const Info& info : kTable)
        if (info.code == code) return &info;
    return nullptr;
}

/// The integrator status of a closure that returned `closure_code` (non-zero)
/// without an error pending.
constexpr Code closure_failure(int32_t closure_code) noexcept {
    switch (closure_code) {
        case FUNC_ERROR: return CLOSURE_FUNC_ERROR;
        case EXPAND_FAIL: return CLOSURE_EXPAND_FAIL;
        case NO_BRACKET: return CLOSURE_NO_BRACKET;
        case MAX_ITER: return CLOSURE_MAX_ITER;
        default: return CLOSURE_UNRECOGNISED;
    }
}

/// The number a CLOSURE_UNRECOGNISED message reports for a closure's code: a
/// positive code k is reported negated, as the integrators always have; a
/// negative one (outside the closure contract) as it is.
constexpr int32_t reported_closure_code(int32_t closure_code) noexcept {
    return closure_code > 0 ? -closure_code : closure_code;
}

/// Does `code` say the closure failed (without an error pending)?
constexpr bool is_closure_failure(int32_t code) noexcept {
    return code <= CLOSURE_UNRECOGNISED && code >= CLOSURE_MAX_ITER;
}

// Every value has one meaning: no code appears twice.
constexpr bool codes_are_unique() noexcept {
    for (const Info& a : kTable) {
        int seen = 0;
        for (const Info& b : kTable) seen += a.code == b.code;
        if (seen != 1) return false;
    }
    return true;
}
static_assert(codes_are_unique());
static_assert(find(CLOSURE_MAX_ITER)->code == CLOSURE_MAX_ITER && closure_failure(MAX_ITER) == CLOSURE_MAX_ITER &&
              is_closure_failure(closure_failure(7)) && !is_closure_failure(DERIVATIVE_FAIL));

}  // namespace vq::status

namespace vq::table {

/// Out-of-bounds modes of the table opacities (the `oob` argument).  Any other
/// value behaves as kRaise.
enum class OutOfBounds : int32_t {
    kRaise = 0,  ///< a value query outside the grid raises ValueError
    kClamp = 1,  ///< outside the grid or on a missing corner: the nearest non-NaN entry
    kNan = 2,    ///< NaN outside the grid, silently
};

}  // namespace vq::table
