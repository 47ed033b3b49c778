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
struct HalfRadiated : vq::thermal::RadiativeBalance {
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

// ---------------------------------------------------------------------------
// The advective balance and its branch-tracking root selection, at the
// circularisation radius of the reference disruption (1e6 M_sun, alpha 0.1,
// mu 0.6, electron scattering, xi 1)
// ---------------------------------------------------------------------------

struct Advective : vq::thermal::AdvectiveDisk {
    static constexpr const char* kResidualName = "advective residual";
    static constexpr const char* kClosureName = "advective closure";
};
struct ThinGasRadiation : vq::thermal::ThinDisk<vq::eos::GasRadiation> {
    static constexpr const char* kResidualName = "thin residual";
    static constexpr const char* kClosureName = "thin closure";
};

constexpr double kRc = 1.3914e13;
const double kMBH = 1e6 * 1.3271244e26 / c::G_CGS;

struct Ring {
    AdvectionParams advection{1.0};
    DiskParameters params = parameters();
    DiskDerived derived{kRc, 0.0, std::sqrt(c::G_CGS * kMBH / (kRc * kRc * kRc))};
    vq::disk::ClosureRecord record;  // the previous solution, carried from solve to solve

    Ring() {
        params.MBH = kMBH;
        params.advection = &advection;
    }
    /// The solve at Sigma from the record; 0 and the record replaced, or the status.
    int32_t solve(double Sigma) {
        derived.Sigma = Sigma;
        const DiskState state{0.0, 0.0, 0.0};
        vq::disk::ClosureRecord out;
        out.offer();
        const int32_t status =
            vq::thermal::closure<Advective, vq::thermal::PlainHost>(&state, &derived, &params, &record, &out);
        if (status == 0) record = out;
        return status;
    }
    double T() const { return std::exp(record.log_T_c); }
    int branch() const { return vq::disk::branch_of(record); }
    double radiated() const { return record.extra[vq::disk::RADIATED_FRACTION]; }
    /// The residual -ln(exp(-f) + A) at T for the current Sigma.
    double residual(double T) const {
        const vq::thermal::PlainHost host{};
        const double log_sigma = std::log(derived.Sigma), log_omega = std::log(derived.Omega);
        const double log_Q_coef =
            log_omega + (std::log(params.alpha) - vq::thermal::kLog32Over27 + 2.0 * log_sigma) - c::LOG_SIGMA_SB_CGS;
        vq::thermal::Point point{log_Q_coef,    params.mu, derived.Sigma, derived.Omega, params.opacity,
                                 log_sigma + log_omega, std::log(kRc), &params, &host,
                                 vq::thermal::AdvectiveBalance::coefficient(params, log_omega, std::log(kRc))};
        double f = 0.0;
        vq::thermal::residual<Advective, vq::thermal::PlainHost>(std::log(T), &point, &f);
        return f;
    }
    /// Heating wins just below the root and cooling just above: thermally stable.
    bool stable() const { return residual(T() * (1.0 - 1e-7)) > 0.0 && residual(T() * (1.0 + 1e-7)) < 0.0; }
};

void advective_branches() {
    // Up the thin branch until it ends; the disk moves to the advective branch.
    Ring ring;
    bool all_stable = true, solved = true;
    double sigma_up = 0.0, T_before = 0.0;
    for (double Sigma = 1e4; Sigma < 3e4; Sigma *= 1.001) {
        const double T_prev = ring.record.log_T_c == 0.0 ? 0.0 : ring.T();
        solved &= ring.solve(Sigma) == 0;
        all_stable &= ring.stable();
        if (ring.branch() == 1 && sigma_up == 0.0) sigma_up = Sigma, T_before = T_prev;
    }
    check(solved && all_stable, "advective closure: every root up the S-curve is stable");
    check(sigma_up > 2.0e4 && sigma_up < 2.03e4 && T_before < 2.6e5 && ring.T() > 1.1e6,
          "the thin branch ends near Sigma = 2.0e4 g/cm^2 and the disk moves up", sigma_up, T_before);

    // Down the advective branch until it ends, below Sigma = 1e3.
    double sigma_down = 0.0;
    for (double Sigma = 3e4; Sigma > 100.0; Sigma /= 1.001) {
        const int before = ring.branch();
        solved &= ring.solve(Sigma) == 0;
        all_stable &= ring.stable();
        if (before == 1 && ring.branch() == 0) sigma_down = Sigma;
    }
    check(solved && all_stable, "advective closure: every root down the S-curve is stable");
    check(sigma_down > 400.0 && sigma_down < 440.0 && ring.T() < 1e4,
          "the advective branch ends near Sigma = 420 g/cm^2 and the disk returns to the thin branch", sigma_down,
          ring.T());

    // Hysteresis: at Sigma = 1e4 the branch decides; the middle root is never taken.
    Ring lower, upper;
    lower.solve(1e4);
    upper.solve(3e4);
    upper.solve(1e4);  // down the advective branch from 3e4
    const double T_lower = lower.T(), T_upper_1e4 = upper.T();
    double lo = T_lower * 1.01, hi = T_upper_1e4 * 0.99;  // the middle root, by bisection
    for (int k = 0; k < 200; ++k) {
        const double mid = std::sqrt(lo * hi);
        (lower.residual(mid) < 0.0 ? lo : hi) = mid;
    }
    const double T_middle = std::sqrt(lo * hi);
    Ring above, below;
    above.record.log_T_c = std::log(T_middle * 1.0001);
    below.record.log_T_c = std::log(T_middle / 1.0001);
    above.solve(1e4);
    below.solve(1e4);
    check(std::fabs(above.T() / T_upper_1e4 - 1.0) < 1e-9 && std::fabs(below.T() / T_lower - 1.0) < 1e-9 &&
              above.stable() && below.stable() && T_lower < T_middle && T_middle < T_upper_1e4 &&
              lower.branch() == 0 && upper.branch() == 1 && above.branch() == 1 && below.branch() == 0,
          "from either side of the middle root the solve relaxes to the stable root on that side", above.T(),
          below.T());

    // The advective branch's oracles at Sigma = 1e5 and its limit H/R -> sqrt(9 / (4 xi B)).
    Ring heavy;
    heavy.solve(1e5);
    check(std::fabs(heavy.T() / 1.615e6 - 1.0) < 1e-3 && std::fabs(heavy.radiated() / 1.6e-3 - 1.0) < 0.02 &&
              heavy.branch() == 1,
          "Sigma = 1e5: T_c = 1.615e6 K, radiated fraction 1.6e-3, labelled advective", heavy.T(), heavy.radiated());
    heavy.solve(1e9);
    const double h_over_r = std::exp(heavy.record.log_cs) / (heavy.derived.Omega * kRc);
    check(std::fabs(h_over_r / std::sqrt(9.0 / (4.0 * c::DISK_B)) - 1.0) < 1e-3, "H/R -> sqrt(9 / (4 xi B))",
          h_over_r, std::sqrt(9.0 / (4.0 * c::DISK_B)));

    // xi = 0 is the gas-plus-radiation closure, bit for bit.
    bool same = true;
    for (double Sigma : {1e2, 3e3, 1.5e4}) {
        Ring none;
        none.advection.xi = 0.0;
        vq::disk::ClosureRecord thin;
        for (int k = 0; k < 3; ++k) {
            const double S = Sigma * (1.0 + 0.01 * k);
            none.solve(S);
            const DiskState state{0.0, 0.0, 0.0};
            vq::disk::ClosureRecord out;
            vq::thermal::closure<ThinGasRadiation, vq::thermal::PlainHost>(&state, &none.derived, &none.params,
                                                                           &thin, &out);
            thin = out;
            same &= none.record.log_T_c == thin.log_T_c && none.record.t_visc == thin.t_visc &&
                    none.record.log_T_eff == thin.log_T_eff && none.branch() == 0;
        }
    }
    check(same, "xi = 0: the gas-plus-radiation closure bit for bit");
}

}  // namespace

int main() {
    thermal_solve();
    table_lookup();
    euler_loop();
    advective_branches();
    std::printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
