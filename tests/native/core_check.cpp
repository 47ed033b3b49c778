// The numerical core of velquor in a plain C++ program: no interpreter, no
// extension module.  Built and run by tests/test_core_native.py; prints one
// line per check and exits non-zero when one fails.
#include "velquor/core/brent.hpp"
#include "velquor/core/constants.hpp"
#include "velquor/core/euler.hpp"
#include "velquor/core/host.hpp"
#include "velquor/core/opacity.hpp"
#include "velquor/core/records.hpp"
#include "velquor/core/status.hpp"
#include "velquor/core/table.hpp"
#include "velquor/core/thermal.hpp"
#include "velquor/core/viscous.hpp"
#include "velquor/core/writer.hpp"

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

int failures = 0;

void check(bool ok, const char* what, double a = 0.0, double b = 0.0) {
    std::printf("%s %s (%.17g, %.17g)\n", ok ? "ok" : "FAILED", what, a, b);
    if (!ok) ++failures;
}

namespace c = vq::constants;

// ---------------------------------------------------------------------------
// A native grey opacity object without an interpreter: the header words, then
// the method table, as every opacity object is laid out.
// ---------------------------------------------------------------------------

double electron_log_opacity(GreyOpacityObject*, double, double) { return c::LOG_KAPPA_ES; }

const GreyOpacityVTable kElectronTable = {nullptr, &electron_log_opacity, nullptr, nullptr};

struct PlainOpacity {
    void* header[2] = {nullptr, nullptr};
    const GreyOpacityVTable* vtab = &kElectronTable;
} electron;

/// The gas-pressure thermal model, with the balance `B`.
template <class B>
struct Model : vq::thermal::ThinDisk<vq::eos::GasPressure> {
    using Balance = B;
    static constexpr const char* kResidualName = "residual";
    static constexpr const char* kClosureName = "closure";
};

/// A cooling law that carries twice the heat of the radiative one: the root
/// moves to T^3 / 2 (how a closure with another balance plugs in).
struct HalfRadiated {
    static double residual(double f, double, const vq::thermal::Point&) noexcept { return f - std::log(2.0); }
};

/// T_c^3 of a gas-pressure disk with electron scattering, in closed form.
double closed_form_T3(double alpha, double Sigma, double Omega, double mu) {
    return 27.0 / 32.0 * alpha * c::KAPPA_ES * Omega * Sigma * Sigma * c::K_B_CGS /
           (c::SIGMA_SB_CGS * mu * c::M_P_CGS);
}

DiskParameters parameters() {
    DiskParameters p{};
    p.MBH = 2e39;
    p.R_in = 9e11;
    p.alpha = 0.1;
    p.mu = 0.6;
    p.epsilon = 1e-3;
    p.opacity = &electron;
    return p;
}

void thermal_solve() {
    using Plain = vq::thermal::PlainHost;
    const DiskParameters p = parameters();
    const DiskState state{0.0, 0.0, 0.0};
    const double sigmas[] = {1e2, 3e4, 1e6};
    for (double Sigma : sigmas) {
        const DiskDerived derived{1.4e13, Sigma, 2.2e-6};
        const ClosureResult prev{};
        ClosureResult out{};
        const int32_t status =
            vq::thermal::closure<Model<vq::thermal::RadiativeBalance>, Plain>(&state, &derived, &p, &prev, &out);
        const double T3 = std::exp(3.0 * out.log_T_c);
        const double expected = closed_form_T3(p.alpha, Sigma, derived.Omega, p.mu);
        check(status == vq::status::SUCCESS && std::fabs(T3 / expected - 1.0) < 1e-12,
              "thermal solve, electron scattering: T^3 = (27/32) alpha kappa_es Omega Sigma^2 k_B / (sigma_SB mu m_p)",
              T3, expected);
        // warm-started from a nearby temperature, the same root
        ClosureResult warm{};
        warm.log_T_c = out.log_T_c + 0.3;
        ClosureResult again{};
        vq::thermal::closure<Model<vq::thermal::RadiativeBalance>, Plain>(&state, &derived, &p, &warm, &again);
        check(std::fabs(again.log_T_c - out.log_T_c) < 1e-9, "thermal solve from a warm start", again.log_T_c,
              out.log_T_c);
        ClosureResult half{};
        vq::thermal::closure<Model<HalfRadiated>, Plain>(&state, &derived, &p, &prev, &half);
        check(std::fabs(std::exp(3.0 * (half.log_T_c - out.log_T_c)) - 0.5) < 1e-9,
              "thermal solve with another balance (a policy, not a copy)", std::exp(3.0 * half.log_T_c), T3 / 2);
    }
}

// ---------------------------------------------------------------------------
// A table lookup
// ---------------------------------------------------------------------------

struct Axes {
    static constexpr bool kRCoupled = false;
    static constexpr char kAxis2Label[] = "log10_rho";
    static constexpr char kClassPath[] = "plain.Table";
};

void table_lookup() {
    using namespace vq::table;
    const std::vector<double> g1 = {3.0, 3.5, 4.0, 5.0, 6.5};
    const std::vector<double> g2 = {-10.0, -8.0, -7.5, -4.0};
    std::vector<double> lk(g1.size() * g2.size());
    for (std::size_t i = 0; i < g1.size(); ++i)
        for (std::size_t j = 0; j < g2.size(); ++j) lk[i * g2.size() + j] = 0.7 * g1[i] - 0.2 * g2[j];
    lk[3 * g2.size() + 3] = NAN;  // a missing entry
    const int n1 = static_cast<int>(g1.size()), n2 = static_cast<int>(g2.size());
    std::vector<int32_t> buckets(AxisIndex::buckets_for(g1.data(), n1) + AxisIndex::buckets_for(g2.data(), n2));
    AxisIndex index1, index2;
    const int32_t b1 = AxisIndex::buckets_for(g1.data(), n1);
    index1.build(g1.data(), n1, buckets.data(), b1);
    index2.build(g2.data(), n2, buckets.data() + b1, AxisIndex::buckets_for(g2.data(), n2));
    const TableData data{g1.data(), g2.data(), lk.data(), n1, n2, 2, kLn10, &index1, &index2};
    DirectTable<Axes> table(data);

    // bilinear interpolation reproduces a linear table exactly (in log10 kappa)
    const double x1 = 3.7, x2 = -7.9;
    const double got = table.log_opacity(x1 * kLn10, x2 * kLn10);
    check(std::fabs(got / kLn10 - (0.7 * x1 - 0.2 * x2)) < 1e-12, "table lookup inside a cell", got / kLn10,
          0.7 * x1 - 0.2 * x2);
    check(std::isnan(table.log_opacity(5.5 * kLn10, -5.0 * kLn10)), "table lookup next to a missing entry: NaN");
    check(std::isnan(table.log_opacity(7.0 * kLn10, -5.0 * kLn10)), "table lookup outside the grid (mode nan): NaN");
    bool same = true;
    for (double v = 2.0; v < 7.5; v += 0.01) same &= index1.find(g1.data(), n1, v) == bisect(g1.data(), n1, v);
    same &= index1.find(g1.data(), n1, NAN) == 0 && index1.find(g1.data(), n1, INFINITY) == n1 - 2;
    check(same, "table index answers as the bisection");
}

// ---------------------------------------------------------------------------
// The Euler loop: the gas-pressure model with the core's writer and rates
// ---------------------------------------------------------------------------

using Closure = Model<vq::thermal::RadiativeBalance>;

void euler_loop() {
    const DiskParameters p = parameters();
    const vq::disk::DiskCallbacks callbacks{&vq::thermal::closure<Closure, vq::thermal::PlainHost>,
                                            &vq::disk::viscous_rates,
                                            &vq::disk::write_standard_column<vq::core::NoHost>, nullptr};
    const int32_t max_steps = 5000;
    std::vector<double> result(static_cast<std::size_t>(vq::rows::COUNT) * max_steps);
    const double M0 = 2e30, J0 = M0 * std::sqrt(c::G_CGS * p.MBH * 1.4e13);
    const double initial[2] = {M0, J0};
    const vq::disk::RunOutcome outcome = vq::disk::march_euler(initial, result.data(), 0.0, 1e12, max_steps,
                                                               callbacks, p, vq::core::NoHost{});
    check(outcome.status == vq::status::SUCCESS && outcome.columns > 100 && outcome.state.t >= 1e12, "Euler loop runs to t_end",
          static_cast<double>(outcome.columns));
    auto row = [&](vq::rows::Row r, int k) { return result[static_cast<std::size_t>(r) * max_steps + k]; };
    const double j_in = std::sqrt(c::G_CGS * p.MBH * p.R_in);
    double worst_conservation = 0.0, worst_temperature = 0.0;
    for (int k = 0; k < outcome.columns; ++k) {
        const double invariant = row(vq::rows::J, k) - j_in * row(vq::rows::M, k);
        worst_conservation = std::fmax(worst_conservation, std::fabs(invariant / (J0 - j_in * M0) - 1.0));
        const double T3 = std::pow(row(vq::rows::T_C, k), 3.0);
        const double expected = closed_form_T3(p.alpha, row(vq::rows::SIGMA, k), row(vq::rows::OMEGA, k), p.mu);
        worst_temperature = std::fmax(worst_temperature, std::fabs(T3 / expected - 1.0));
    }
    check(worst_conservation < 1e-12, "Euler loop keeps J - j_in M", worst_conservation);
    check(worst_temperature < 1e-10, "Euler loop columns on the closed-form temperature", worst_temperature);
    check(row(vq::rows::T, 1) == row(vq::rows::DT, 0) && row(vq::rows::STEP, 2) == 2.0, "Euler columns link");

    // a thermal solve that cannot succeed: the loop stops with the closure's failure
    DiskParameters bad = p;
    bad.mu = -1.0;  // c_s is NaN at every temperature
    const vq::disk::RunOutcome failed = vq::disk::march_euler(initial, result.data(), 0.0, 1e9, max_steps,
                                                              callbacks, bad, vq::core::NoHost{});
    check(vq::status::is_closure_failure(failed.status) && failed.columns == 0 && failed.state.M == M0,
          "Euler loop reports a failed solve by status", static_cast<double>(failed.status),
          static_cast<double>(failed.closure_code));
}

}  // namespace

int main() {
    thermal_solve();
    table_lookup();
    euler_loop();
    std::printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
