// velquor.math_utils._tarnwick: bracket expansion and Brent root finding.
//
// The numerics live in velquor/core/brent.hpp; this file instantiates them with the
// interpreter as host, exports the three native entry points through the
// module's export table and wraps them for Python callables.
#include "velquor/bind/capi.hpp"
#include "velquor/bind/host.hpp"
#include "velquor/bind/rootfind.hpp"
#include "velquor/core/brent.hpp"
#include "velquor/core/status.hpp"

#include <cmath>
#include <limits>

namespace {

namespace core = vq::root::core;

constexpr const char* kModuleName = "velquor.math_utils._tarnwick";
constexpr const char* kModuleDoc =
    "Root finding for one scalar equation f(x) = 0: bracket expansion and Brent's method.\n\n"
    "The native entry points expand_bracket, brent_root and find_root are exported in\n"
    "__native_api__ and run with or without the interpreter lock; py_expand_bracket,\n"
    "py_brent_root and py_find_root run the same algorithms on a Python callable.\n\n"
    "Callback contract\n-----------------\n"
    "Natively, f is int f(double x, void *user_data, double *f_out): it writes f(x) to\n"
    "*f_out and returns 0, or returns any non-zero value on failure; user_data is passed\n"
    "through unchanged.  After every call the solver checks for a pending exception,\n"
    "which takes precedence over the returned value.  From Python, f is called with one\n"
    "float and its result is converted with float(); an Exception raised by the call or\n"
    "the conversion is discarded and counts as a failed evaluation, while any other\n"
    "BaseException (KeyboardInterrupt, SystemExit, ...) propagates.\n\n"
    "Status codes\n------------\n"
    "0  SUCCESS      result written\n"
    "1  FUNC_ERROR   f failed (non-zero result, or an Exception from a Python f)\n"
    "2  EXPAND_FAIL  no sign change within the allowed expansions\n"
    "3  NO_BRACKET   brent_root given f(x_lo) * f(x_hi) > 0\n"
    "4  MAX_ITER     maxiter evaluations used up; the best estimate is returned\n"
    "-1 (native only) an exception is pending; the Python wrappers raise it";

namespace status = vq::status;

// ---------------------------------------------------------------------------
// Native entry points
// ---------------------------------------------------------------------------

/// The interpreter as the solvers' host, naming each solver in the traceback;
/// the solvers run with or without the lock.
struct InterpreterHost : vq::InterpreterHost {
    using vq::InterpreterHost::traceback;
    void traceback(core::Solver where) const noexcept {
        switch (where) {
            case core::Solver::ExpandBracket: VQ_TRACEBACK("velquor.math_utils._tarnwick.expand_bracket"); break;
            case core::Solver::BrentRoot: VQ_TRACEBACK("velquor.math_utils._tarnwick.brent_root"); break;
            case core::Solver::FindRoot: VQ_TRACEBACK("velquor.math_utils._tarnwick.find_root"); break;
        }
    }
};

int32_t expand_bracket(scalar_func f, void* user_data, double x_guess, double step, double grow_factor,
                       int32_t max_expand, double x_min, double x_max, double tolerance, double* x_lo_out,
                       double* x_hi_out, double* f_lo_out, double* f_hi_out) noexcept {
    return core::expand_bracket<InterpreterHost>(f, user_data, x_guess, step, grow_factor, max_expand, x_min, x_max,
                                                 tolerance, x_lo_out, x_hi_out, f_lo_out, f_hi_out);
}

int32_t brent_root(scalar_func f, void* user_data, double x_lo, double x_hi, double f_lo, double f_hi, double tol_x,
                   double tol_f, int32_t maxiter, double* root) noexcept {
    return core::brent_root<InterpreterHost>(f, user_data, x_lo, x_hi, f_lo, f_hi, tol_x, tol_f, maxiter, root);
}

int32_t find_root(scalar_func f, void* user_data, double x_guess, double step, double grow_factor,
                  int32_t max_expand, double x_min, double x_max, double tolerance, double tol_x, double tol_f,
                  int32_t maxiter, double* root) noexcept {
    return core::find_root<InterpreterHost>(f, user_data, x_guess, step, grow_factor, max_expand, x_min, x_max,
                                            tolerance, tol_x, tol_f, maxiter, root);
}

// The exported addresses must have exactly the published types.
[[maybe_unused]] constexpr expand_bracket_fn kExpandBracketCheck = &expand_bracket;
[[maybe_unused]] constexpr brent_root_fn kBrentRootCheck = &brent_root;
[[maybe_unused]] constexpr find_root_fn kFindRootCheck = &find_root;

// ---------------------------------------------------------------------------
// Python callables as scalar functions
// ---------------------------------------------------------------------------

/// Puts back the exception being handled when it was entered, if a call
/// changed it.  Left alone otherwise: writing it unconditionally would copy an
/// outer handler's exception into a generator frame that handles none.
class HandledExceptionGuard {
public:
    HandledExceptionGuard() noexcept : saved_(vq::Ref::steal(PyErr_GetHandledException())) {}
    ~HandledExceptionGuard() {
        vq::Ref now = vq::Ref::steal(PyErr_GetHandledException());
        if (now.get() != saved_.get()) PyErr_SetHandledException(saved_.get());
    }
    HandledExceptionGuard(const HandledExceptionGuard&) = delete;
    HandledExceptionGuard& operator=(const HandledExceptionGuard&) = delete;

private:
    vq::Ref saved_;
};

/// scalar_func over a Python callable (`user_data`, borrowed).  An ordinary
/// exception from the call or the float conversion is a failed evaluation
/// (cleared, 1); anything that is not an Exception (KeyboardInterrupt,
/// SystemExit, ...) stays pending for the wrapper to raise (-1).
int32_t _py_trampoline(double x, void* user_data, double* f_out) noexcept {
    vq::GilEnsure gil;
    HandledExceptionGuard handled;
    PyObject* callable = static_cast<PyObject*>(user_data);

    vq::Ref arg = vq::Ref::steal(PyFloat_FromDouble(x));
    vq::Ref result = vq::Ref::steal(arg ? PyObject_CallOneArg(callable, arg.get()) : nullptr);
    double value;
    if (result && vq::to_double(result.get(), &value)) {
        *f_out = value;
        return 0;
    }
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        return 1;
    }
    VQ_TRACEBACK("velquor.math_utils._tarnwick._py_trampoline");
    return -1;
}

// ---------------------------------------------------------------------------
// Script wrappers
// ---------------------------------------------------------------------------

/// Converts bound arguments in order: doubles and 32-bit ints.
struct Converter {
    PyObject* const* args;
    int next = 1;  // args[0] is the callable

    bool real(double* out) noexcept { return vq::to_double(args[next++], out); }
    bool integer(int32_t* out) noexcept { return vq::to_int32(args[next++], out); }
};

/// The solver's -1: the pending exception propagates.
PyObject* propagate() noexcept {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "root finder reported an error without setting an exception");
    return nullptr;
}

const char* const kExpandParams[] = {"f", "x_guess", "step", "grow_factor", "max_expand", "x_min", "x_max",
                                     "tolerance"};
const vq::Signature kExpandSig{"py_expand_bracket", kExpandParams, 8, 8};

PyObject* py_expand_bracket(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[8];
    if (!vq::bind(kExpandSig, args, nargs, kwnames, bound)) return nullptr;
    double x_guess, step, grow_factor, x_min, x_max, tolerance;
    int32_t max_expand;
    Converter in{bound};
    if (!in.real(&x_guess) || !in.real(&step) || !in.real(&grow_factor) || !in.integer(&max_expand) ||
        !in.real(&x_min) || !in.real(&x_max) || !in.real(&tolerance))
        return nullptr;

    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    double x_lo = nan, x_hi = nan, f_lo = nan, f_hi = nan;
    const int32_t status = expand_bracket(_py_trampoline, bound[0], x_guess, step, grow_factor, max_expand, x_min,
                                          x_max, tolerance, &x_lo, &x_hi, &f_lo, &f_hi);
    if (status == status::ERROR_PENDING) return propagate();
    if (status != status::SUCCESS) x_lo = x_hi = f_lo = f_hi = nan;
    return Py_BuildValue("(idddd)", static_cast<int>(status), x_lo, x_hi, f_lo, f_hi);
}

const char* const kBrentParams[] = {"f", "x_lo", "x_hi", "f_lo", "f_hi", "tol_x", "tol_f", "maxiter"};
const vq::Signature kBrentSig{"py_brent_root", kBrentParams, 8, 8};

PyObject* py_brent_root(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[8];
    if (!vq::bind(kBrentSig, args, nargs, kwnames, bound)) return nullptr;
    double x_lo, x_hi, f_lo, f_hi, tol_x, tol_f;
    int32_t maxiter;
    Converter in{bound};
    if (!in.real(&x_lo) || !in.real(&x_hi) || !in.real(&f_lo) || !in.real(&f_hi) || !in.real(&tol_x) ||
        !in.real(&tol_f) || !in.integer(&maxiter))
        return nullptr;

    double root = 0.0;
    const int32_t status = brent_root(_py_trampoline, bound[0], x_lo, x_hi, f_lo, f_hi, tol_x, tol_f, maxiter, &root);
    if (status == status::ERROR_PENDING) return propagate();
    if (status != status::SUCCESS && status != status::MAX_ITER) root = 0.0;
    return Py_BuildValue("(id)", static_cast<int>(status), root);
}

const char* const kFindParams[] = {"f",     "x_guess", "step",  "grow_factor", "max_expand", "x_min",
                                   "x_max", "tolerance", "tol_x", "tol_f",     "maxiter"};
const vq::Signature kFindSig{"py_find_root", kFindParams, 11, 11};

PyObject* py_find_root(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[11];
    if (!vq::bind(kFindSig, args, nargs, kwnames, bound)) return nullptr;
    double x_guess, step, grow_factor, x_min, x_max, tolerance, tol_x, tol_f;
    int32_t max_expand, maxiter;
    Converter in{bound};
    if (!in.real(&x_guess) || !in.real(&step) || !in.real(&grow_factor) || !in.integer(&max_expand) ||
        !in.real(&x_min) || !in.real(&x_max) || !in.real(&tolerance) || !in.real(&tol_x) || !in.real(&tol_f) ||
        !in.integer(&maxiter))
        return nullptr;

    double root = 0.0;
    const int32_t status = find_root(_py_trampoline, bound[0], x_guess, step, grow_factor, max_expand, x_min, x_max,
                                     tolerance, tol_x, tol_f, maxiter, &root);
    if (status == status::ERROR_PENDING) return propagate();
    if (status != status::SUCCESS && status != status::MAX_ITER) root = 0.0;
    return Py_BuildValue("(id)", static_cast<int>(status), root);
}

PyMethodDef module_methods[] = {
    {"py_expand_bracket", vq::as_cfunction(py_expand_bracket), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("py_expand_bracket(f, x_guess, step, grow_factor, max_expand, x_min, x_max, tolerance)\n--\n\n"
               "Widen a search interval around a guess until f changes sign across it.\n\n"
               "The k-th interval is [x_guess - h, x_guess + h] with h = step * grow_factor**k,\n"
               "clipped to [x_min, x_max]; k runs from 0 to max_expand.  Both ends are evaluated\n"
               "(lower first) before they are tested.\n\n"
               "Parameters\n----------\n"
               "f : callable\n    f(x: float) -> float.\n"
               "x_guess : float\n    Centre of every interval.\n"
               "step : float\n    Initial half-width.\n"
               "grow_factor : float\n    Factor applied to the half-width before each expansion.\n"
               "max_expand : int\n    Number of expansions allowed after the first interval.\n"
               "x_min, x_max : float\n    Hard bounds for the interval ends.\n"
               "tolerance : float\n"
               "    An end with abs(f) < tolerance counts as an exact root (the lower end first).\n\n"
               "Returns\n-------\n"
               "(status, x_lo, x_hi, f_lo, f_hi) : (int, float, float, float, float)\n"
               "    On status 0 the bracket and f at its ends (x_lo == x_hi and both values 0.0\n"
               "    when an end met the tolerance).  On any other status the four floats are nan.\n"
               "    Status 1: f failed; 2: no sign change within the allowed expansions, or both\n"
               "    ends reached the bounds.\n\n"
               "Raises\n------\n"
               "BaseException\n    Any exception raised by f that is not an Exception propagates.")},
    {"py_brent_root", vq::as_cfunction(py_brent_root), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("py_brent_root(f, x_lo, x_hi, f_lo, f_hi, tol_x, tol_f, maxiter)\n--\n\n"
               "Refine a root inside a bracket with Brent's method.\n\n"
               "Parameters\n----------\n"
               "f : callable\n    f(x: float) -> float.\n"
               "x_lo, x_hi : float\n    Bracket ends, in either order.\n"
               "f_lo, f_hi : float\n    f at the ends (not re-evaluated); f_lo * f_hi must not be > 0.\n"
               "tol_x : float\n    Stop when the bracket is narrower than this.\n"
               "tol_f : float\n    Stop when abs(f) at the estimate is below this.\n"
               "maxiter : int\n    Maximum number of evaluations of f.\n\n"
               "Returns\n-------\n"
               "(status, root) : (int, float)\n"
               "    root is the estimate (the bracket end with the smaller abs(f)) on status 0 or 4\n"
               "    (4: maxiter evaluations used up), and 0.0 on status 1 (f failed) or 3 (the\n"
               "    values do not bracket a root).\n\n"
               "Raises\n------\n"
               "ZeroDivisionError\n"
               "    Both bracket values are 0 while the bracket is still wider than tol_x.\n"
               "BaseException\n    Any exception raised by f that is not an Exception propagates.")},
    {"py_find_root", vq::as_cfunction(py_find_root), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("py_find_root(f, x_guess, step, grow_factor, max_expand, x_min, x_max, tolerance, tol_x, tol_f, "
               "maxiter)\n--\n\n"
               "Solve f(x) = 0 near a guess: bracket expansion followed by Brent's method.\n\n"
               "f is evaluated at x_guess first (an exact zero is returned at once), then the\n"
               "arguments up to tolerance drive py_expand_bracket and the last three\n"
               "py_brent_root.  At most 1 + 2 * (max_expand + 1) + maxiter evaluations are made.\n\n"
               "Returns\n-------\n"
               "(status, root) : (int, float)\n"
               "    root is the estimate on status 0 or 4 (maxiter evaluations used up), and 0.0\n"
               "    on status 1 (f failed) or 2 (no bracket found).\n\n"
               "Raises\n------\n"
               "ZeroDivisionError\n"
               "    Both bracket values are 0 while the bracket is still wider than tol_x.\n"
               "BaseException\n    Any exception raised by f that is not an Exception propagates.")},
    {nullptr, nullptr, 0, nullptr},
};

bool setup(PyObject* module) noexcept {
    return vq::export_function(module, "expand_bracket", &expand_bracket, vq::root::kExpandBracketTag) &&
           vq::export_function(module, "brent_root", &brent_root, vq::root::kBrentRootTag) &&
           vq::export_function(module, "find_root", &find_root, vq::root::kFindRootTag);
}

}  // namespace

VQ_DEFINE_MODULE(_tarnwick, kModuleName, kModuleDoc, module_methods, setup)
