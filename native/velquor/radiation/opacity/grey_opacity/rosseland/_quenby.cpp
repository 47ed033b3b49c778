// velquor.radiation.opacity.grey_opacity.rosseland._quenby: table opacity on (log10 T, log10 R).
//
// velquor.radiation.opacity.grey_opacity.rosseland._quenby: C_QuenbyOpacity, a
// Rosseland-mean opacity table on (log10 T, log10 R), R = rho / T6^3.  All the
// work is done by the shared table engine; this file only names the axes.
#include "velquor/bind/table_class.hpp"

namespace {

struct QuenbyAxes {
    static constexpr bool kRCoupled = true;
    static constexpr char kAxis2Label[] = "log10_g2";
    static constexpr char kClassPath[] = "velquor.radiation.opacity.grey_opacity.rosseland._quenby.C_QuenbyOpacity";
    static constexpr char kDoc[] =
        "C_QuenbyOpacity(g1, g2, lk, oob)\n--\n\n"
        "Grey Rosseland-mean opacity interpolated in a table of log10 kappa.\n"
        "\n"
        "The table is evaluated by bilinear interpolation of log10 kappa in\n"
        "(log10 T, log10 R), with R = rho / T6**3 and T6 = T / 1e6 K, the layout of\n"
        "the OPAL tables (see velquor.radiation.opacity.tables.read_opal_table).\n"
        "\n"
        VQ_TABLE_DOC_AXIS1
        "g2 : ndarray, dtype=float64, C-contiguous\n"
        "    Grid of axis 2, log10 R with R = rho / T6**3, T6 = T / 1e6 K and rho\n"
        "    in g cm^-3: at least two points, strictly increasing.\n"
        VQ_TABLE_DOC_COMMON;
};

}  // namespace

VQ_DEFINE_MODULE(_quenby, "velquor.radiation.opacity.grey_opacity.rosseland._quenby",
                 "Tabulated grey Rosseland-mean opacity on a (log10 T, log10 R) grid.", nullptr,
                 vq::table::TableClass<QuenbyAxes>::exec)
