// Native timing loops for bench_rootfind.py (compiled by that script; not part
// of the package).  Everything is timed in C++, so the only ctypes cost is one
// call per batch.
//
//   bench_core    the solver header instantiated without an interpreter
//   bench_module  the module's exported find_root, through its function pointer
//
// Both solve the same problems with the same native callbacks and report
// nanoseconds per solve; the problem numbers match PROBLEMS in the script.
#include "velquor/core/brent.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>

namespace {

using scalar_fn = int32_t (*)(double, void*, double*);
using find_root_fn = int32_t (*)(scalar_fn, void*, double, double, double, int32_t, double, double, double, double,
                                 double, int32_t, double*);

struct Problem {
    int id;
    double shift;  // always 0, read through a volatile
    int64_t evals;
};

double value(int id, double x) noexcept {
    switch (id) {
        case 0: return x * x * x - 2.0 * x - 5.0;
        case 1: return std::cos(x) - x;
        case 2: return std::exp(x) - 1e3;
        case 3: return std::sin(x) - x / 2.0;
        case 4: return x * x - std::pow(1.0 - x, 10.0);
        default: return std::atan(x - 0.3);
    }
}

int32_t callback(double x, void* user_data, double* f_out) noexcept {
    auto* p = static_cast<Problem*>(user_data);
    ++p->evals;
    *f_out = value(p->id, x) - p->shift;
    return 0;
}

struct Args {
    double x_guess, step, x_min, x_max;
};

template <class Solve>
double time_solves(int id, const Args& a, int64_t n, double* evals_per_solve, double* root_out, Solve solve) {
    static volatile double zero = 0.0;
    Problem p{id, 0.0, 0};
    double sum = 0.0, root = 0.0;
    const auto t0 = std::chrono::steady_clock::now();
    for (int64_t i = 0; i < n; ++i) {
        p.shift = zero;  // re-read every solve: nothing can be hoisted out of the loop
        if (solve(&p, a, &root) != 0) return -1.0;
        sum += root;
    }
    const auto t1 = std::chrono::steady_clock::now();
    *evals_per_solve = static_cast<double>(p.evals) / static_cast<double>(n);
    *root_out = sum / static_cast<double>(n);
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(n);
}

constexpr double kTolX = 1e-12;

}  // namespace

extern "C" {

/// ns per find_root solve of the header core; -1 on a failed solve.
__attribute__((visibility("default"))) double bench_core(int id, double x_guess, double step, double x_min,
                                                         double x_max, int64_t n, double* evals_per_solve,
                                                         double* mean_root) {
    return time_solves(id, {x_guess, step, x_min, x_max}, n, evals_per_solve, mean_root,
                       [](Problem* p, const Args& a, double* root) {
                           return vq::root::core::find_root<vq::root::core::NoHost>(
                               callback, p, a.x_guess, a.step, 2.0, 10, a.x_min, a.x_max, 0.0, kTolX, 0.0, 200,
                               root);
                       });
}

/// ns per solve of the module's find_root, called through `fn`.
__attribute__((visibility("default"))) double bench_module(void* fn, int id, double x_guess, double step,
                                                           double x_min, double x_max, int64_t n,
                                                           double* evals_per_solve, double* mean_root) {
    const auto find_root = reinterpret_cast<find_root_fn>(fn);
    return time_solves(id, {x_guess, step, x_min, x_max}, n, evals_per_solve, mean_root,
                       [find_root](Problem* p, const Args& a, double* root) {
                           return find_root(callback, p, a.x_guess, a.step, 2.0, 10, a.x_min, a.x_max, 0.0, kTolX,
                                            0.0, 200, root);
                       });
}
}
