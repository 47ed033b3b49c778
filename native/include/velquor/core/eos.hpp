// Equations of state: the midplane sound speed of gas, and of gas plus radiation.
//
// Equations of state of the disk midplane: the sound speed c_s [cm s^-1] at
// temperature T [K], mean molecular weight mu, surface density Sigma [g cm^-2]
// and angular velocity Omega [s^-1].  Plain functions; none raises, NaN in
// gives NaN out.
#pragma once

#include "velquor/core/constants.hpp"

#include <cmath>
#include <limits>
#include <numbers>

namespace vq::eos {

namespace detail {
inline constexpr double kBOverMP = constants::K_B_CGS / constants::M_P_CGS;  ///< [erg K^-1 g^-1]
inline constexpr double kRadCoef = std::sqrt(2.0 * std::numbers::pi) * constants::RAD_A_CGS / 3.0;
}  // namespace detail

/// Ideal gas: c_s^2 = k_B T / (mu m_p).
struct GasPressure {
    /// k_B / m_p as the thermal solves have always formed it (exp of the
    /// difference of the two logarithms).
    static constexpr double kBoltzmannOverProton = std::exp(constants::LOG_K_B_CGS - constants::LOG_M_P_CGS);

    static double sound_speed(double T, double mu, double, double) noexcept {
        return std::sqrt(kBoltzmannOverProton * T / mu);
    }
};

/// Gas plus radiation.  With H = c_s / Omega, rho = Sigma / (sqrt(2 pi) H) and
/// P = rho k_B T / (mu m_p) + a T^4 / 3, c_s^2 = P / rho is the quadratic
/// c_s^2 = g + b c_s with
///
///     g = k_B T / (mu m_p),   b = sqrt(2 pi) a T^4 / (3 Sigma Omega),
///
/// whose positive root is taken in the form (b + hypot(b, 2 sqrt(g))) / 2: both
/// terms are positive, so nothing cancels whichever pressure dominates (the
/// conjugate form 2 g / (sqrt(b^2 + 4 g) - b) loses every digit once radiation
/// dominates).
struct GasRadiation {
    static double sound_speed(double T, double mu, double Sigma, double Omega) noexcept {
        const double g = detail::kBOverMP * T / mu;
        const double T2 = T * T;
        const double b = detail::kRadCoef * (T2 * T2) / (Sigma * Omega);
        // hypot(inf, NaN) is inf: keep a NaN input visible even next to an infinite term.
        if (std::isnan(g) || std::isnan(b)) return std::numeric_limits<double>::quiet_NaN();
        return 0.5 * (b + std::hypot(b, 2.0 * std::sqrt(g)));
    }
};

}  // namespace vq::eos
