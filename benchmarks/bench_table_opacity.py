"""log_opacity_array of C_QuenbyOpacity on the OPAL table against SciPy's
RegularGridInterpolator (linear) on the same table and the same points.

The native method takes (ln T, ln rho), maps them to (log10 T, log10 R),
bisects both axes and interpolates, one call through the method table per point
(with the pending-error tests of the opacity protocol).  The interpolator is
handed the (log10 T, log10 R) coordinates directly, so its time leaves out the
coordinate map; the native result is checked against it.

    python benchmarks/bench_table_opacity.py
"""

from pathlib import Path

import numpy as np
from scipy.interpolate import RegularGridInterpolator

from velquor.radiation.opacity.grey_opacity.rosseland._quenby import C_QuenbyOpacity
from velquor.radiation.opacity.tables import read_opal_table

from _timing import best_of

LN10 = 2.302585092994046
OPAL = Path(__file__).resolve().parent.parent / "tests" / "data" / "opacity" / "opal_gn93_x0.70_z0.02.txt"


def main(sizes=(1_000, 100_000, 1_000_000)):
    g1, g2, lk = read_opal_table(OPAL)
    table = C_QuenbyOpacity(g1, g2, lk, 2)
    rgi = RegularGridInterpolator((g1, g2), lk, method="linear")
    rng = np.random.default_rng(2024)

    print("ln kappa on random points of the OPAL domain (log T 3.75-8.70, log R -8..1), best of 5")
    print(f"{'points':>10}{'velquor ns/pt':>15}{'scipy ns/pt':>13}{'scipy / velquor':>17}")
    for n in sizes:
        x1 = rng.uniform(g1[0], g1[-1], n)
        x2 = rng.uniform(g2[0], g2[-1], n)
        log_t = x1 * LN10
        log_rho = (x2 + 3.0 * (x1 - 6.0)) * LN10
        xy = np.column_stack([x1, x2])

        ours = table.log_opacity_array(log_t, log_rho) / LN10
        np.testing.assert_allclose(ours, rgi(xy), rtol=0, atol=1e-10)  # same numbers, NaN where a corner is missing

        repeats = 5 if n <= 100_000 else 3
        t_ours = best_of(repeats, lambda: table.log_opacity_array(log_t, log_rho))
        t_rgi = best_of(repeats, lambda: rgi(xy))
        print(f"{n:>10}{1e9 * t_ours / n:>15.1f}{1e9 * t_rgi / n:>13.1f}{t_rgi / t_ours:>16.2f}x")


if __name__ == "__main__":
    main()
