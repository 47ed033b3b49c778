"""The table engine's _bisect, called through the method table, against the
halving loop it must reproduce exactly (for any array and any value, NaN,
infinities and unsorted arrays included); the cell search over a table's own
grids (an O(1) index) against the same loop; and the interpolated values that
depend on them against a NumPy model of the same arithmetic, bit for bit."""

from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velquor._testsupport import RaisingTableOpacity, table_bisect, table_find_cell
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


# ---------------------------------------------------------------------------
# The cell search over a table's own grid
# ---------------------------------------------------------------------------

EPS = 1e-9  # the documented edge tolerance


def expected_cells(grid, values):
    """_find_cell of a table whose axis 1 is `grid` (axis 2 holds 0.5 in [0, 1])."""
    out = []
    for v in values:
        outside = v < grid[0] - EPS or v > grid[-1] + EPS
        out.append((1, 0, 0) if outside else (0, min(halving(grid, v), len(grid) - 2), 0))
    return out


def check_cells(grid, table=None):
    grid = np.ascontiguousarray(grid, dtype=np.float64)
    if table is None:
        table = C_WrenfoldOpacity(grid, np.array([0.0, 1.0]), np.zeros((len(grid), 2)), 2)
    with np.errstate(all="ignore"):
        values = np.concatenate([probes(grid), grid[:1] - EPS / 2, grid[-1:] + EPS / 2])
    cells = table_find_cell(table, values, np.full(values.size, 0.5))
    assert cells == expected_cells(grid, values)


@pytest.mark.parametrize("n", [2, 3, 4, 5, 17, 70, 129, 1000])
@pytest.mark.parametrize("pattern", ["uniform", "plateaus", "all equal", "geometric", "uneven", "infinite ends"])
def test_cell_search_is_the_bisection(n, pattern):
    if pattern == "uniform":
        grid = np.arange(n) * 0.05 + 3.75
    elif pattern == "plateaus":
        grid = np.floor(np.arange(n) / 3.0)
    elif pattern == "all equal":
        grid = np.full(n, 1.5)
    elif pattern == "geometric":
        grid = np.geomspace(1e-300, 1e300, n)
    elif pattern == "uneven":
        grid = np.cumsum(np.random.default_rng(n).exponential(size=n) ** 3)
    else:
        grid = np.concatenate([[-np.inf], np.arange(n - 2) * 0.5, [np.inf]])
    check_cells(grid)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.floats(-1e6, 1e6), min_size=2, max_size=120))
def test_cell_search_on_any_sorted_grid(grid):
    check_cells(np.sort(np.array(grid)))


def test_cell_search_follows_a_grid_changed_in_place():
    # the arrays are the caller's: values changed after construction (the grid
    # still sorted) are what the search answers for
    grid = np.arange(20) * 0.5
    table = C_WrenfoldOpacity(grid, np.array([0.0, 1.0]), np.zeros((20, 2)), 2)
    check_cells(grid, table)
    grid[5:15] = np.linspace(grid[4] + 0.01, grid[15] - 0.01, 10)
    grid *= 1.7
    check_cells(grid, table)


def test_cell_search_goes_through_an_overridden_bisect():
    # a subclass's _bisect is honoured: the index answers only for the class's own
    table = RaisingTableOpacity(np.arange(6.0), np.arange(4.0), np.zeros((6, 4)), 2)
    x1 = np.array([0.5, 2.0, 4.99, np.nan])
    x2 = np.array([0.25, 3.0, 1.5, 2.0])
    plain = table_find_cell(table, x1, x2)
    table.slot = "_bisect"
    table.calls = 0
    assert table_find_cell(table, x1, x2) == plain
    assert table.calls == 2 * len(x1)  # both axes of every point through the override


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
