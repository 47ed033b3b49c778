// The constants of the disk model (CGS) and their logarithms, at compile time.
//
// The closure module exports these very values ("double" entries and module
// attributes); every core reads them from here.  DISK_A and DISK_F0 calibrate
// the one-zone ring to the self-similar spreading solution of a gas-pressure,
// electron-scattering disk; DISK_B = DISK_A DISK_F0 so the two cannot drift.
//
// The logarithms are evaluated by the compiler (std::log in a constant
// expression, as GCC does); the test suite compares each with math.log of its
// constant.
#pragma once

#include <cmath>
#include <numbers>

namespace vq::constants {

inline constexpr double G_CGS = 6.67430e-8;             ///< [cm^3 g^-1 s^-2] CODATA 2018
inline constexpr double K_B_CGS = 1.380649e-16;         ///< [erg K^-1] exact (SI 2019)
inline constexpr double M_P_CGS = 1.67262192369e-24;    ///< [g] CODATA 2018
inline constexpr double SIGMA_SB_CGS = 5.670374419e-5;  ///< [erg cm^-2 s^-1 K^-4] exact given h, c, k_B
inline constexpr double RAD_A_CGS = 7.565733250e-15;    ///< [erg cm^-3 K^-4] 4 sigma_SB / c
inline constexpr double KAPPA_ES = 0.34;                ///< [cm^2 g^-1] 0.2 (1 + X), X = 0.70
inline constexpr double DISK_XI = 1.0;                  ///< [-] J = XI M sqrt(G M_BH R)
inline constexpr double DISK_A = 3.7082092;             ///< [-] Sigma = M / (A pi R^2)
inline constexpr double DISK_F0 = 1.5376490;            ///< [-] Mdot_acc = F0 M / t_visc
inline constexpr double DISK_B = DISK_A * DISK_F0;      ///< [-] Mdot_acc = B pi nu Sigma

inline constexpr double LOG_G_CGS = std::log(G_CGS);
inline constexpr double LOG_K_B_CGS = std::log(K_B_CGS);
inline constexpr double LOG_M_P_CGS = std::log(M_P_CGS);
inline constexpr double LOG_SIGMA_SB_CGS = std::log(SIGMA_SB_CGS);
inline constexpr double LOG_RAD_A_CGS = std::log(RAD_A_CGS);
inline constexpr double LOG_KAPPA_ES = std::log(KAPPA_ES);
inline constexpr double LOG_DISK_XI = std::log(DISK_XI);
inline constexpr double LOG_DISK_A = std::log(DISK_A);
inline constexpr double LOG_DISK_F0 = std::log(DISK_F0);
inline constexpr double LOG_PI = std::log(std::numbers::pi);

/// One constant by the name the closure module exports it under.
struct Named {
    const char* name;
    const double* value;
};

/// The twenty exported constants, in the closure module's order.
inline constexpr Named kExported[] = {
    {"DISK_A", &DISK_A},
    {"DISK_B", &DISK_B},
    {"DISK_F0", &DISK_F0},
    {"DISK_XI", &DISK_XI},
    {"G_CGS", &G_CGS},
    {"KAPPA_ES", &KAPPA_ES},
    {"K_B_CGS", &K_B_CGS},
    {"LOG_DISK_A", &LOG_DISK_A},
    {"LOG_DISK_F0", &LOG_DISK_F0},
    {"LOG_DISK_XI", &LOG_DISK_XI},
    {"LOG_G_CGS", &LOG_G_CGS},
    {"LOG_KAPPA_ES", &LOG_KAPPA_ES},
    {"LOG_K_B_CGS", &LOG_K_B_CGS},
    {"LOG_M_P_CGS", &LOG_M_P_CGS},
    {"LOG_PI", &LOG_PI},
    {"LOG_RAD_A_CGS", &LOG_RAD_A_CGS},
    {"LOG_SIGMA_SB_CGS", &LOG_SIGMA_SB_CGS},
    {"M_P_CGS", &M_P_CGS},
    {"RAD_A_CGS", &RAD_A_CGS},
    {"SIGMA_SB_CGS", &SIGMA_SB_CGS},
};
static_assert(sizeof(kExported) / sizeof(kExported[0]) == 20);

}  // namespace vq::constants
