// velquor.radiation.opacity.grey_opacity._wrenfold: C_WrenfoldOpacity, a grey
// opacity table on (log10 T, log10 rho).  All the work is done by the shared
// table engine; this file only names the axes.
#include "velquor/table_class.hpp"

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
        "Parameters\n"
        "----------\n"
        "g1 : ndarray, dtype=float64, C-contiguous\n"
        "    Grid of axis 1, log10 T (T in K): at least two points, strictly increasing.\n"
        "g2 : ndarray, dtype=float64, C-contiguous\n"
        "    Grid of axis 2, log10 rho (rho in g cm^-3): at least two points,\n"
        "    strictly increasing.\n"
        "lk : ndarray, dtype=float64, C-contiguous, shape (len(g1), len(g2))\n"
        "    log10 kappa (kappa in cm^2 g^-1); lk[i, j] belongs to (g1[i], g2[j]).\n"
        "    NaN marks a missing entry.\n"
        "oob : int\n"
        "    Out-of-bounds mode:\n"
        "\n"
        "    - 0 (raise): a value outside the grid raises ValueError; a cell with\n"
        "      a missing corner gives NaN.\n"
        "    - 1 (clamp): outside the grid, the nearest non-NaN entry around the\n"
        "      edge cell's lower corner; on a cell with a missing corner, the\n"
        "      nearest non-NaN entry around the cell.\n"
        "    - 2 (nan): NaN outside the grid, silently.\n"
        "\n"
        "    Any other value behaves as 0.  A float is truncated toward zero.\n"
        "\n"
        "Raises\n"
        "------\n"
        "ValueError\n"
        "    If lk's shape is not (len(g1), len(g2)), an axis has fewer than two\n"
        "    points, or a grid holds NaN or decreases.\n"
        "TypeError\n"
        "    If an array is None or oob has no integer conversion.\n"
        "\n"
        "Notes\n"
        "-----\n"
        "The arrays are used in place, not copied: the instance keeps them alive\n"
        "and sees later changes to their values (the grid checks run only here).\n"
        "Points up to 1e-9 (in log10) beyond an edge count as inside.  Equal\n"
        "neighbouring grid values are accepted; evaluating that zero-width cell\n"
        "raises ZeroDivisionError.  The derivatives are those of the\n"
        "interpolant; they neither fill missing entries nor clamp, and are 0.0\n"
        "(NaN in mode 2) outside the grid or next to a missing entry.  Instances\n"
        "cannot be pickled.\n";
};

using Table = vq::table::TableClass<WrenfoldAxes>;

vq::InitGuard guard("_wrenfold");

int exec_module(PyObject* module) {
    auto init = guard.begin();
    if (!init || !Table::exec(module)) return -1;
    init.commit();
    return 0;
}

}  // namespace

VQ_DEFINE_MODULE(_wrenfold, "velquor.radiation.opacity.grey_opacity._wrenfold",
                 "Tabulated grey opacity on a (log10 T, log10 rho) grid.", nullptr, exec_module)
