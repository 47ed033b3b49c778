// The row table of the standard result: name, unit and meaning of each row.
//
// The rows of a result array written by the standard writer: one table of
// (name, unit, meaning), the one place they are named, followed by the rows
// the extended writer appends from a closure's extra values (Extra).  The
// writer module exports them to Python as RESULT_FIELDS and
// EXTENDED_RESULT_FIELDS; velquor.tde reads names and units from there.
#pragma once

#include <cstdint>

namespace vq::rows {

/// Row indices of the standard result array (one column per step).
enum Row : int32_t {
    STEP, T, M, J, R, SIGMA, OMEGA, T_EFF, T_C, TAU, CS, NU, Q_VISC, DM_DT, DJ_DT, DT, T_VISC, H, H_OVER_R, RHO,
    COUNT,
    // appended by the extended writer:
    F_RAD = COUNT, BRANCH, EXTENDED_COUNT
};

/// One row: its name (an identifier), its CGS unit ("" when dimensionless) and
/// what it holds.
struct Field {
    const char* name;
    const char* unit;
    const char* meaning;
};

inline constexpr Field kFields[EXTENDED_COUNT] = {
    {"step", "", "step index (column number)"},
    {"t", "s", "time"},
    {"M", "g", "disk mass"},
    {"J", "g cm^2 s^-1", "disk angular momentum"},
    {"R", "cm", "disk radius"},
    {"Sigma", "g cm^-2", "surface density"},
    {"Omega", "s^-1", "Keplerian angular velocity at R"},
    {"T_eff", "K", "effective temperature"},
    {"T_c", "K", "central temperature"},
    {"tau", "", "optical depth, kappa Sigma / 2"},
    {"cs", "cm s^-1", "midplane sound speed"},
    {"nu", "cm^2 s^-1", "kinematic viscosity"},
    {"q_visc", "erg cm^-2 s^-1", "viscous heating rate per unit area"},
    {"dM_dt", "g s^-1", "rate of change of the disk mass"},
    {"dJ_dt", "g cm^2 s^-2", "rate of change of the disk angular momentum"},
    {"dt", "s", "step leading away from this column"},
    {"t_visc", "s", "viscous time R^2 / nu"},
    {"H", "cm", "scale height c_s / Omega"},
    {"H_over_R", "", "aspect ratio H / R"},
    {"rho", "g cm^-3", "central density"},
    {"f_rad", "", "radiated fraction Q_rad / Q+ of the viscous heating (the rest is advected)"},
    {"branch", "", "thermal branch: 0 the lower (thin) one, 1 the upper (advective) one"},
};

}  // namespace vq::rows
