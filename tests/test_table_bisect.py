"""The table engine's _bisect, called through the method table, against the
halving loop it must reproduce exactly (for any array and any value, NaN,
infinities and unsorted arrays included), and the interpolated values that
depend on it against a NumPy model of the same arithmetic, bit for bit."""

from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velquor._testsupport import table_bisect
from velquor.radiation.opacity.grey_opacity._wrenfold import C_WrenfoldOpacity
from velquor.radiation.opacity.grey_opacity.rosseland._quenby import C_QuenbyOpacity
from velquor.radiation.opacity.tables import read_opal_table

LN10 = 2.302585092994046
OPAL = Path(__file__).parent / "data" / "opacity" / "opal_gn93_x0.70_z0.02.txt"


def halving(arr, val):
    """lo = 0, hi = n-1; while lo < hi-1: mid = (lo+hi)//2; lo = mid if val >= arr[mid] else hi = mid."""
    lo, hi = 0, len(arr) - 1
    while lo < hi - 1:
        mid = (lo + hi) // 2
        if val >= arr[mid]:
            lo = mid
        else:
            hi = mid
    return lo


@pytest.fixture(scope="module", params=[C_QuenbyOpacity, C_WrenfoldOpacity])
def table(request):
    g = np.arange(3.0)
    return request.param(g.copy(), g.copy(), np.zeros((3, 3)), 2)


def probes(grid):
    """Every grid value, values just beside and between them, and the specials."""
    g = np.asarray(grid, dtype=np.float64)
    finite = g[np.isfinite(g)]
    extra = [np.nan, np.inf, -np.inf, 0.0, -0.0, 1e308, -1e308]
    if finite.size:
        extra += [finite.min() - 1.0, finite.max() + 1.0]
    with np.errstate(all="ignore"):
        return np.concatenate([g, np.nextafter(g, -np.inf), np.nextafter(g, np.inf), (g[:-1] + g[1:]) / 2, extra])


def check(table, grid):
    grid = np.ascontiguousarray(grid, dtype=np.float64)
    values = probes(grid)
    assert table_bisect(table, grid, values) == [halving(grid, v) for v in values]


@pytest.mark.parametrize("n", range(0, 70))
def test_every_size_of_sorted_grid(table, n):
    check(table, np.arange(n) * 0.25 - 3.0)


@pytest.mark.parametrize("n", [2, 3, 4, 5, 8, 9, 17, 33, 65, 70, 129])
@pytest.mark.parametrize("pattern", ["plateaus", "all equal", "geometric"])
def test_grids_with_repeated_and_uneven_values(table, n, pattern):
    if pattern == "plateaus":
        grid = np.floor(np.arange(n) / 3.0)
    elif pattern == "all equal":
        grid = np.full(n, 1.5)
    else:
        grid = np.geomspace(1e-300, 1e300, n)
    check(table, grid)


def test_documented_cases(table):
    grid = np.array([0.0, 1.0, 2.0, 4.0, 8.0])
    values = np.array([-5.0, 0.0, 1.0, 2.0, 4.0, 3.9, 8.0, 9.0, np.nan])
    # below -> 0, interior grid value k -> k, at or beyond the last value -> n-2, NaN -> 0
    assert table_bisect(table, grid, values) == [0, 0, 1, 2, 3, 2, 3, 3, 0]


floats = st.floats(allow_nan=True, allow_infinity=True, width=64)


@settings(max_examples=400, deadline=None)
@given(grid=st.lists(floats, min_size=0, max_size=80), extra=st.lists(floats, max_size=20))
def test_any_array_any_value(grid, extra):
    """Unsorted arrays and NaN entries too: the same probes and decisions."""
    g = C_QuenbyOpacity(np.arange(2.0), np.arange(2.0), np.zeros((2, 2)), 2)
    arr = np.array(grid, dtype=np.float64)
    values = np.concatenate([probes(arr), np.array(extra, dtype=np.float64)])
    assert table_bisect(g, arr, values) == [halving(arr, v) for v in values]


@settings(max_examples=200, deadline=None)
@given(st.lists(st.floats(-1e6, 1e6), min_size=2, max_size=200, unique=True))
def test_sorted_grids(grid):
    g = C_WrenfoldOpacity(np.arange(2.0), np.arange(2.0), np.zeros((2, 2)), 2)
    check(g, np.sort(np.array(grid)))


def model_log_kappa(g1, g2, lk, log_t, log_rho):
    """ln kappa of C_QuenbyOpacity in mode 2, with the engine's operations in its order."""
    x1 = log_t / LN10
    x2 = log_rho / LN10 - 3.0 * (x1 - 6.0)
    eps = 1e-9
    outside = (x1 < g1[0] - eps) | (x1 > g1[-1] + eps) | (x2 < g2[0] - eps) | (x2 > g2[-1] + eps)
    i = np.minimum(np.array([halving(g1, v) for v in x1]), len(g1) - 2)
    j = np.minimum(np.array([halving(g2, v) for v in x2]), len(g2) - 2)
    k00, k10, k01, k11 = lk[i, j], lk[i + 1, j], lk[i, j + 1], lk[i + 1, j + 1]
    tx = (x1 - g1[i]) / (g1[i + 1] - g1[i])
    ty = (x2 - g2[j]) / (g2[j + 1] - g2[j])
    v = (1.0 - tx) * (1.0 - ty) * k00 + tx * (1.0 - ty) * k10 + (1.0 - tx) * ty * k01 + tx * ty * k11
    v = np.where(np.isnan(k00) | np.isnan(k10) | np.isnan(k01) | np.isnan(k11) | outside, np.nan, v)
    return v * LN10


def test_opal_values_bit_for_bit():
    g1, g2, lk = read_opal_table(OPAL)
    table = C_QuenbyOpacity(g1, g2, lk, 2)
    rng = np.random.default_rng(7)
    n = 20_000
    x1 = rng.uniform(g1[0] - 0.2, g1[-1] + 0.2, n)
    x2 = rng.uniform(g2[0] - 0.5, g2[-1] + 0.5, n)
    # grid lines and nodes exactly
    x1[:2000] = rng.choice(g1, 2000)
    x2[1000:3000] = rng.choice(g2, 2000)
    log_t = x1 * LN10
    log_rho = (x2 + 3.0 * (x1 - 6.0)) * LN10
    ours = table.log_opacity_array(log_t, log_rho)
    expected = model_log_kappa(g1, g2, lk, log_t, log_rho)
    np.testing.assert_array_equal(ours, expected)
    assert np.isfinite(ours).sum() > n // 2
