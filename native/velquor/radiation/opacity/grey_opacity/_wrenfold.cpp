// velquor.radiation.opacity.grey_opacity._wrenfold: table opacity on (log10 T, log10 rho).
//
// velquor.radiation.opacity.grey_opacity._wrenfold: C_WrenfoldOpacity, a grey
// opacity table on (log10 T, log10 rho).  All the work is done by the shared
// table engine; this file only names the axes.
#include "velquor/bind/table_class.hpp"

namespace {

struct WrenfoldAxes {
    static constexpr bool kRCoupled = false;
    static constexpr char kAxis2Label[] = "log10_rho";
    static constexpr char kClassPath[] = "velquor.radiation.opacity.grey_opacity._wrenfold.C_WrenfoldOpacity";
    static constexpr char kDoc[] =
        "C_WrenfoldOpacity(g1, g2, lk, oob)\n--\n\n"
        "Grey opacity interpolated in a table of log10 kappa on a density grid.\n"
        "\n"
        "The table is evaluated by bilinear interpolation of log10 kappa in\n"
        "(log10 T, log10 rho).\n"
        "\n"
        VQ_TABLE_DOC_AXIS1
        "g2 : ndarray, dtype=float64, C-contiguous\n"
        "    Grid of axis 2, log10 rho (rho in g cm^-3): at least two points,\n"
        "    strictly increasing.\n"
        VQ_TABLE_DOC_COMMON;
};

}  // namespace

VQ_DEFINE_MODULE(_wrenfold, "velquor.radiation.opacity.grey_opacity._wrenfold",
                 "Tabulated grey opacity on a (log10 T, log10 rho) grid.", nullptr,
                 vq::table::TableClass<WrenfoldAxes>::exec)
