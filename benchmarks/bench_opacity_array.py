"""log_opacity_array of C_PlumtreeOpacity against NumPy's closed form.

Both evaluate ln kappa = logaddexp(ln kappa_es, ln rho + ln kappa0 - 3.5 ln T) on
the same points: the native method calls the law once per point through the
class's method table (with an error test after each call); NumPy evaluates the
same log-sum-exp as whole-array operations.

    python benchmarks/bench_opacity_array.py [n_points]
"""

import math
import sys

import numpy as np

from velquor.radiation.opacity.grey_opacity.rosseland._plumtree import C_PlumtreeOpacity

from _timing import best_of


def main(n=1_000_000, repeats=7):
    kappa0, kappa_es = 5e24, 0.34
    law = C_PlumtreeOpacity(kappa0, kappa_es)
    rng = np.random.default_rng(1)
    log_T = rng.uniform(math.log(1e3), math.log(1e8), n)
    log_rho = rng.uniform(math.log(1e-14), math.log(1e-2), n)
    log_k0, log_kes = math.log(kappa0), math.log(kappa_es)

    def native():
        return law.log_opacity_array(log_T, log_rho)

    def numpy_closed_form():
        return np.logaddexp(log_kes, log_rho + log_k0 - 3.5 * log_T)

    np.testing.assert_allclose(native(), numpy_closed_form(), rtol=1e-13, atol=1e-13)
    t_native = best_of(repeats, native)
    t_numpy = best_of(repeats, numpy_closed_form)
    print(f"ln kappa of Kramers + electron scattering on {n} points, best of {repeats}")
    print(f"{'variant':<46}{'ms':>9}{'ns/point':>10}")
    print(f"{'NumPy np.logaddexp closed form':<46}{1e3 * t_numpy:>9.2f}{1e9 * t_numpy / n:>10.2f}")
    print(f"{'C_PlumtreeOpacity.log_opacity_array':<46}{1e3 * t_native:>9.2f}{1e9 * t_native / n:>10.2f}")
    print(f"ratio native / NumPy: {t_native / t_numpy:.2f}x")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:2]))
