"""Table opacities (C_QuenbyOpacity, C_WrenfoldOpacity) and the table readers.

Reference values come from tests/data/opacity/README.md (OPAL table #73 and the
Ferguson et al. 2005 table for X = 0.70, Z = 0.02).
"""

import ctypes
import gc
import math
import pickle
from pathlib import Path

import numpy as np
import pytest
from scipy.interpolate import RegularGridInterpolator

from velquor.radiation.opacity.grey_opacity._wrenfold import C_WrenfoldOpacity
from velquor.radiation.opacity.grey_opacity.rosseland._quenby import C_QuenbyOpacity
from velquor.radiation.opacity.murkwell import C_GreyMurkwell
from velquor.radiation.opacity.tables import read_ferguson_table, read_opal_table

LN10 = 2.302585092994046
DATA = Path(__file__).parent / "data" / "opacity"
OPAL = DATA / "opal_gn93_x0.70_z0.02.txt"
FERGUSON = DATA / "ferguson05_gn93_x0.70_z0.02.txt"
CLASSES = [C_QuenbyOpacity, C_WrenfoldOpacity]


def logs(cls, x1, x2):
    """(ln T, ln rho) of the grid point (x1, x2) of a table of class `cls`."""
    log10_rho = x2 + 3.0 * (x1 - 6.0) if issubclass(cls, C_QuenbyOpacity) else x2
    return x1 * LN10, log10_rho * LN10


def make(cls, lk, oob=0, g1=None, g2=None):
    lk = np.ascontiguousarray(lk, dtype=np.float64)
    g1 = np.arange(lk.shape[0], dtype=np.float64) if g1 is None else np.asarray(g1, dtype=np.float64)
    g2 = np.arange(lk.shape[1], dtype=np.float64) if g2 is None else np.asarray(g2, dtype=np.float64)
    return cls(g1, g2, lk, oob)


def value(op, x1, x2):
    """log10 kappa at grid coordinates (x1, x2)."""
    return op.log_opacity(*logs(type(op), x1, x2)) / LN10


@pytest.fixture(scope="module")
def opal():
    return read_opal_table(OPAL)


# ---------------------------------------------------------------------------
# Against the published OPAL table
# ---------------------------------------------------------------------------


def test_opal_reader_shape_and_holes(opal):
    g1, g2, lk = opal
    assert g1.shape == (70,) and g2.shape == (19,) and lk.shape == (70, 19)
    assert all(a.dtype == np.float64 and a.flags.c_contiguous and a.flags.writeable for a in opal)
    assert np.isnan(lk).sum() == 42 and np.nanmin(lk) == -2.251 and np.nanmax(lk) == 5.365
    counts = (~np.isnan(lk)).sum(axis=1)
    assert list(counts[56:]) == [19, 18, 17, 17, 16, 16, 16, 16, 15, 15, 15, 15, 15, 14]


def check_node(lk, i, j, got):
    """A node is evaluated in one of the cells touching it (which one depends on
    rounding); every complete cell reproduces it, so only a node next to a
    missing entry may come out NaN."""
    touching = lk[max(i - 1, 0) : i + 2, max(j - 1, 0) : j + 2]
    if np.isnan(touching).any() and np.isnan(got):
        return
    assert got == pytest.approx(lk[i, j], abs=1e-12), (i, j)


@pytest.mark.parametrize("oob", [0, 2])
def test_every_node_reproduced(opal, oob):
    g1, g2, lk = opal
    op = C_QuenbyOpacity(g1, g2, lk, oob)
    for i in range(70):
        for j in range(19):
            if not np.isnan(lk[i, j]):
                check_node(lk, i, j, value(op, g1[i], g2[j]))


def test_matches_regular_grid_interpolator_in_every_full_cell(opal):
    g1, g2, lk = opal
    op = C_QuenbyOpacity(g1, g2, lk, 0)
    rgi = RegularGridInterpolator((g1, g2), lk, method="linear")
    rng = np.random.default_rng(7)
    full = [(i, j) for i in range(69) for j in range(18) if not np.isnan(lk[i : i + 2, j : j + 2]).any()]
    assert len(full) == 1242 - 42
    i, j = np.array(full).T.repeat(4, axis=0).reshape(2, -1)
    x1 = g1[i] + rng.uniform(0.01, 0.99, i.size) * (g1[i + 1] - g1[i])
    x2 = g2[j] + rng.uniform(0.01, 0.99, j.size) * (g2[j + 1] - g2[j])
    log_t, log_rho = logs(C_QuenbyOpacity, x1, x2)
    got = op.log_opacity_array(log_t, log_rho) / LN10
    np.testing.assert_allclose(got, rgi(np.column_stack([x1, x2])), rtol=0, atol=1e-11)


README_NODES = [  # (log10 T, log10 R, log10 rho, log10 kappa) from the reference-point table
    (3.75, -8.0, -14.75, -0.767), (3.75, 1.0, -5.75, 0.131), (4.00, -3.0, -9.00, 1.262),
    (4.05, -2.5, -8.35, 1.809), (5.00, -4.0, -7.00, 0.565), (6.00, -3.0, -3.00, 0.585),
    (6.10, -3.0, -2.70, 0.507), (7.00, -3.0, 0.00, -0.266), (7.10, 1.0, 4.30, 1.336),
    (7.20, 0.5, 4.10, 1.027), (7.40, 0.0, 4.20, 0.567), (7.80, -0.5, 4.90, -0.088),
    (8.00, -1.0, 5.00, -0.403), (8.10, -1.0, 5.30, -0.500), (8.30, -5.0, 1.90, -0.634),
    (8.50, -1.0, 6.50, -1.269), (8.70, -8.0, 0.10, -0.582), (8.70, -1.5, 6.60, -1.051),
]


@pytest.mark.parametrize("x1, x2, log10_rho, expected", README_NODES)
def test_readme_reference_points(opal, x1, x2, log10_rho, expected):
    g1, g2, lk = opal
    i, j = np.searchsorted(g1, x1), np.searchsorted(g2, x2)
    assert (g1[i], g2[j], lk[i, j]) == (x1, x2, expected)
    got = C_QuenbyOpacity(g1, g2, lk, 0).log_opacity(x1 * LN10, log10_rho * LN10) / LN10
    check_node(lk, i, j, got)


@pytest.mark.parametrize("x1, x2", [(7.20, 1.0), (8.70, -1.0)])
def test_readme_missing_entries(opal, x1, x2):
    g1, g2, lk = opal
    assert np.isnan(lk[np.searchsorted(g1, x1), np.searchsorted(g2, x2)])


@pytest.mark.parametrize("rho, T, kappa", [(1e-3, 1e6, 3.846), (1.0, 1e7, 0.5420)])
def test_readme_linear_kappa(opal, rho, T, kappa):
    assert C_QuenbyOpacity(*opal, 0).opacity(rho, T) == pytest.approx(kappa, rel=2e-4)


@pytest.mark.parametrize(
    "x1, x2, oob, expected",
    [
        (4.025, -2.75, 0, 1.50525),  # centre of cell (5, 10)
        (6.05, -3.25, 0, 0.34225),  # across the change of row spacing
        (5.50, 0.25, 0, 3.195),
        (7.15, 0.75, 0, np.nan), (7.15, 0.75, 2, np.nan), (7.15, 0.75, 1, 1.161),  # corner (7.20, 1.0) missing
        (8.60, -1.25, 1, -0.915),
        (8.80, 1.20, 1, -0.403),  # beyond both upper edges: ring 3 around (68, 17)
        (3.70, 1.20, 1, -0.261),  # below log T, above log R: lk[0, 17]
        (8.80, -8.20, 1, -0.704),  # beyond log T, below log R: lk[68, 0], not the last row's -0.582
    ],
)
def test_readme_derived_values(opal, x1, x2, oob, expected):
    got = value(C_QuenbyOpacity(*opal, oob), x1, x2)
    assert got == pytest.approx(expected, abs=1e-9, nan_ok=True)


def test_readme_derivatives(opal):
    op = C_QuenbyOpacity(*opal, 0)
    p = logs(C_QuenbyOpacity, 4.025, -2.75)
    assert op.dlogkappa_dlogrho(*p) == pytest.approx(0.497, abs=1e-9)
    assert op.dlogkappa_dlogT(*p) == pytest.approx(5.970 - 3 * 0.497, abs=1e-9)


@pytest.mark.parametrize("which", ["rho", "T"])
def test_derivatives_match_finite_differences(opal, which):
    g1, g2, lk = opal
    op = C_QuenbyOpacity(g1, g2, lk, 0)
    rng = np.random.default_rng(3)
    full = [(i, j) for i in range(69) for j in range(18) if not np.isnan(lk[i : i + 2, j : j + 2]).any()]
    h = 1e-6
    for n in rng.choice(len(full), 300, replace=False):
        i, j = full[n]
        x1 = g1[i] + rng.uniform(0.2, 0.8) * (g1[i + 1] - g1[i])
        x2 = g2[j] + rng.uniform(0.2, 0.8) * (g2[j + 1] - g2[j])
        lt, lr = logs(C_QuenbyOpacity, x1, x2)
        if which == "rho":
            fd = (op.log_opacity(lt, lr + h) - op.log_opacity(lt, lr - h)) / (2 * h)
            assert op.dlogkappa_dlogrho(lt, lr) == pytest.approx(fd, abs=1e-6)
        else:
            fd = (op.log_opacity(lt + h, lr) - op.log_opacity(lt - h, lr)) / (2 * h)
            assert op.dlogkappa_dlogT(lt, lr) == pytest.approx(fd, abs=1e-6)


def test_array_methods_agree_with_scalar_methods(opal):
    op = C_QuenbyOpacity(*opal, 1)
    rng = np.random.default_rng(11)
    lt = rng.uniform(3.6, 8.9, 500) * LN10
    lr = (rng.uniform(-8.3, 1.3, 500) + 3 * (lt / LN10 - 6)) * LN10
    for array, scalar in [
        (op.log_opacity_array, op.log_opacity),
        (op.dlogkappa_dlogrho_array, op.dlogkappa_dlogrho),
        (op.dlogkappa_dlogT_array, op.dlogkappa_dlogT),
    ]:
        np.testing.assert_array_equal(array(lt, lr), [scalar(a, b) for a, b in zip(lt, lr)])
    np.testing.assert_allclose(op.opacity_array(np.exp(lr), np.exp(lt)), np.exp(op.log_opacity_array(lt, lr)))
    with pytest.raises(ValueError, match="outside the table domain"):
        C_QuenbyOpacity(*opal, 0).log_opacity_array(lt, lr)


# ---------------------------------------------------------------------------
# Engine rules, both classes
# ---------------------------------------------------------------------------

GRID = np.arange(12.0).reshape(3, 4)  # lk[i, j] = 4 i + j on g1 = 0..2, g2 = 0..3


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("axis", [1, 2])
@pytest.mark.parametrize("edge", ["low", "high"])
@pytest.mark.parametrize("beyond, inside", [(0.5e-9, True), (2e-9, False)])
def test_edge_tolerance(cls, axis, edge, beyond, inside):
    op = make(cls, GRID, oob=0)
    x = [1.0, 1.5]
    x[axis - 1] = -beyond if edge == "low" else (2.0 if axis == 1 else 3.0) + beyond
    if inside:  # evaluated in the edge cell, slightly extrapolated
        assert value(op, *x) == pytest.approx(4 * x[0] + x[1], abs=1e-8)
    else:
        with pytest.raises(ValueError, match="outside the table domain"):
            value(op, *x)


HOLE = np.array([[0.0, 1.0, 2.0], [3.0, np.nan, 5.0], [6.0, 7.0, 8.0]])  # cell (0, 0) lacks its corner (1, 1)


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize(
    "oob, point, val, slope",
    [
        (0, (-1.0, 0.5), ValueError, 0.0),
        (3, (-1.0, 0.5), ValueError, 0.0),
        (-1, (-1.0, 0.5), ValueError, 0.0),
        (1, (-1.0, 0.5), 0.0, 0.0),  # lk[0, 0]: the clamped cell's lower corner
        (2, (-1.0, 0.5), np.nan, np.nan),
        (0, (0.5, 0.5), np.nan, 0.0),
        (3, (0.5, 0.5), np.nan, 0.0),
        (1, (0.5, 0.5), 0.0, 0.0),  # lk[0, 0] is finite: ring 0 of the cell
        (2, (0.5, 0.5), np.nan, np.nan),
    ],
)
def test_out_of_bounds_modes(cls, oob, point, val, slope):
    op = make(cls, HOLE, oob=oob)
    args = logs(cls, *point)
    if val is ValueError:
        with pytest.raises(ValueError, match=r"^\(log10_T=-1\.000, "):
            op.log_opacity(*args)
    else:
        assert op.log_opacity(*args) / LN10 == pytest.approx(val, nan_ok=True)
        assert op.opacity(math.exp(args[1]), math.exp(args[0])) == pytest.approx(10**val, nan_ok=True)
    assert op.dlogkappa_dlogrho(*args) == pytest.approx(slope, nan_ok=True)
    assert op.dlogkappa_dlogT(*args) == pytest.approx(slope, nan_ok=True)


@pytest.mark.parametrize("cls, label", [(C_QuenbyOpacity, "log10_g2"), (C_WrenfoldOpacity, "log10_rho")])
def test_domain_message_and_traceback(cls, label):
    g1 = np.array([3.75, 6.0, 8.70])
    g2 = np.array([-8.0, -3.0, 1.0])
    op = cls(g1, g2, np.zeros((3, 3)), 0)
    with pytest.raises(ValueError) as info:
        op.log_opacity(*logs(cls, 9.5, -3.25))
    assert str(info.value) == (
        f"(log10_T=9.500, {label}=-3.250) is outside the table domain [3.75, 8.70] x [-8.00, 1.00]."
    )
    names = []
    tb = info.value.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    prefix = f"{cls.__module__}.{cls.__name__}."
    assert [prefix + "_log_opacity", prefix + "_handle_oob"] == names[-2:]
    with pytest.raises(ValueError) as info:
        op.opacity(math.exp(-3.25 * LN10), math.exp(9.5 * LN10))
    assert label in str(info.value)


RING1 = [(1, 1), (1, 2), (1, 3), (2, 1), (2, 3), (3, 1), (3, 2), (3, 3)]  # around (2, 2), in search order


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize(
    "finite, expected",
    [(RING1[k:], RING1[k]) for k in range(8)]
    + [([(0, 0), (3, 3)], (3, 3)), ([(0, 4), (4, 0)], (0, 4)), ([(4, 4)], (4, 4)), ([(2, 2), (1, 1)], (2, 2))],
)
def test_ring_search_order(cls, finite, expected):
    lk = np.full((5, 5), np.nan)
    for i, j in finite:
        lk[i, j] = 10 * i + j
    op = make(cls, lk, oob=1)
    assert value(op, 2.5, 2.5) == pytest.approx(10 * expected[0] + expected[1])


@pytest.mark.parametrize("cls", CLASSES)
def test_ring_search_clipped_edges_and_infinity(cls):
    lk = np.full((4, 4), np.nan)
    lk[1, 0], lk[1, 1] = 5.0, 6.0
    assert value(make(cls, lk, oob=1), 0.5, 0.5) == 5.0  # ring 1 of (0, 0): (0, 1), (1, 0), (1, 1)
    lk[0, 1] = np.inf  # only NaN is skipped
    assert value(make(cls, lk, oob=1), 0.5, 0.5) == np.inf


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("x1, x2", [(1.5, 1.5), (-5.0, 1.0), (9.0, 9.0), (np.nan, 1.0)])
def test_all_nan_table(cls, x1, x2):
    op = make(cls, np.full((3, 3), np.nan), oob=1)
    args = logs(cls, x1, x2)
    assert np.isnan(op.log_opacity(*args))
    assert op.dlogkappa_dlogrho(*args) == 0.0 and op.dlogkappa_dlogT(*args) == 0.0


@pytest.mark.parametrize(
    "cls, nan_in, expected",
    [
        (C_QuenbyOpacity, "T", (0, 0)),  # x2 follows x1: both NaN
        (C_QuenbyOpacity, "rho", (2, 0)),
        (C_WrenfoldOpacity, "T", (0, 2)),  # only x1 NaN
        (C_WrenfoldOpacity, "rho", (2, 0)),
    ],
)
@pytest.mark.parametrize("oob", [0, 1, 2])
def test_nan_temperature_or_density(cls, nan_in, expected, oob):
    lk = np.arange(16.0).reshape(4, 4)
    op = make(cls, lk, oob=oob)
    log_t, log_rho = logs(cls, 2.5, 2.5)
    args = (np.nan, log_rho) if nan_in == "T" else (log_t, np.nan)
    got = op.log_opacity(*args) / LN10
    assert got == pytest.approx(lk[expected] if oob == 1 else np.nan, nan_ok=True)


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("x1, x2, expected", [(7.0, 1.5, (2, 1)), (1.5, 9.0, (1, 3)), (9.0, 9.0, (2, 3))])
def test_clamp_above_top_edge_uses_lower_corner_of_edge_cell(cls, x1, x2, expected):
    lk = np.arange(20.0).reshape(4, 5)
    assert value(make(cls, lk, oob=1), x1, x2) == lk[expected]


@pytest.mark.parametrize("cls, dlogT", [(C_QuenbyOpacity, 0.7 - 3 * 0.2), (C_WrenfoldOpacity, 0.7)])
def test_derivatives_of_a_linear_table(cls, dlogT):
    g1, g2 = np.array([3.0, 3.5, 4.5, 5.0]), np.array([-2.0, -1.0, 0.5])
    lk = 0.7 * g1[:, None] + 0.2 * g2[None, :]
    op = cls(g1, g2, lk, 0)
    for x1, x2 in [(3.2, -1.5), (4.0, 0.0), (4.9, 0.4)]:
        args = logs(cls, x1, x2)
        assert op.dlogkappa_dlogrho(*args) == pytest.approx(0.2)
        assert op.dlogkappa_dlogT(*args) == pytest.approx(dlogT)


def test_density_only_table_has_zero_temperature_slope():
    lk = np.tile([0.0, 1.5, 4.0], (4, 1))  # lk[i, j] = f(j)
    op = make(C_WrenfoldOpacity, lk)
    assert op.dlogkappa_dlogT(*logs(C_WrenfoldOpacity, 1.3, 0.6)) == 0.0
    assert op.dlogkappa_dlogrho(*logs(C_WrenfoldOpacity, 1.3, 0.6)) == pytest.approx(1.5)


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("axis", [1, 2])
@pytest.mark.parametrize("method", ["log_opacity", "dlogkappa_dlogrho", "dlogkappa_dlogT"])
def test_zero_width_interval_is_float_division(cls, axis, method):
    g1, g2 = np.array([0.0, 1.0, 1.0]), np.array([0.0, 1.0, 2.0])  # equal neighbours are accepted
    if axis == 2:
        g1, g2 = g2, g1
    op = cls(g1, g2, np.zeros((3, 3)), 0)
    point = (1.0, 0.5) if axis == 1 else (0.5, 1.0)  # on the top grid line: the zero-width cell
    with pytest.raises(ZeroDivisionError, match="^float division$"):
        getattr(op, method)(*logs(cls, *point))


@pytest.mark.parametrize("cls", CLASSES)
def test_oob_conversion(cls):
    assert value(make(cls, GRID, oob=1.9), -5.0, 1.0) == 1.0  # truncated to mode 1: clamps
    with pytest.raises(TypeError, match="^an integer is required$"):
        make(cls, GRID, oob="1")
    with pytest.raises(OverflowError):
        make(cls, GRID, oob=2**40)


# ---------------------------------------------------------------------------
# Construction, ownership, pickling, native access
# ---------------------------------------------------------------------------

G = np.array([0.0, 1.0, 2.0])
L = np.zeros((3, 3))


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((G, G, L), {}, TypeError, r"^__cinit__\(\) takes exactly 4 positional arguments \(3 given\)$"),
        ((G, G, L, 0, 0), {}, TypeError, r"^__cinit__\(\) takes exactly 4 positional arguments \(5 given\)$"),
        ((G, G, L), {"oob": 0, "x": 1}, TypeError, "unexpected keyword argument 'x'"),
        ((G, G, L, 0), {"g1": G}, TypeError, "multiple values for keyword argument 'g1'"),
        ((None, G, L, 0), {}, TypeError, "'g1' must not be None"),
        ((G, None, L, 0), {}, TypeError, "'g2' must not be None"),
        ((G, G, None, 0), {}, TypeError, "'lk' must not be None"),
        ((G, G, np.zeros((3, 2)), 0), {}, ValueError, r"lk has shape \(3, 2\); expected .* = \(3, 3\)"),
        ((G, G, np.zeros((2, 3)), 0), {}, ValueError, r"lk has shape \(2, 3\)"),
        ((G[:1].copy(), G, L[:1].copy(), 0), {}, ValueError, "g1 must hold at least two grid points"),
        ((G, np.zeros(0), np.zeros((3, 0)), 0), {}, ValueError, "g2 must hold at least two grid points"),
        ((np.array([0.0, 2.0, 1.0]), G, L, 0), {}, ValueError, r"g1 decreases at index 2 \(2.0 -> 1.0\)"),
        ((G, np.array([0.0, np.nan, 1.0]), L, 0), {}, ValueError, r"g2\[1\] is NaN"),
        ((G.astype(np.float32), G, L, 0), {}, ValueError, "Buffer dtype mismatch, expected 'double'"),
        ((G, G, G, 0), {}, ValueError, r"wrong number of dimensions \(expected 2, got 1\)"),
        ((np.zeros(6)[::2], G, L, 0), {}, ValueError, "contiguous"),
        (([0.0, 1.0, 2.0], G, L, 0), {}, TypeError, "bytes-like object is required"),
    ],
)
def test_construction_refusals(cls, args, kwargs, exc, message):
    with pytest.raises(exc, match=message):
        cls(*args, **kwargs)


@pytest.mark.parametrize("cls", CLASSES)
def test_construction_by_keyword_and_read_only_refusal(cls):
    op = cls(lk=L, oob=2, g2=G, g1=G)
    assert isinstance(op, C_GreyMurkwell) and not issubclass(cls, tuple(c for c in CLASSES if c is not cls))
    ro = G.copy()
    ro.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        cls(ro, G, L, 0)


@pytest.mark.parametrize("cls", CLASSES)
def test_arrays_are_shared_and_kept_alive(cls):
    g1, g2, lk = G.copy(), G.copy(), np.ones((3, 3))
    op = cls(g1, g2, lk, 0)
    lk[1, 1] = 3.0  # later changes are seen
    assert value(op, 1.0, 1.0) == pytest.approx(3.0)
    del g1, g2, lk
    gc.collect()
    assert value(op, 0.5, 0.5) == pytest.approx(1.5)


@pytest.mark.parametrize("cls", CLASSES)
def test_pickling_refused(cls):
    op = make(cls, GRID)
    for attempt in (lambda: pickle.dumps(op), op.__reduce__, lambda: op.__setstate__(())):
        with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
            attempt()
    with pytest.raises(TypeError):
        op.__setstate__()


@pytest.mark.parametrize("cls", CLASSES)
def test_module_binds_numpy_and_script_subclass_inherits_the_law(cls):
    import sys

    assert sys.modules[cls.__module__].np is np

    class Sub(cls):
        def _log_opacity(self, log_T, log_rho):  # a script method never replaces the native law
            return 0.0

    op = make(Sub, GRID)
    assert value(op, 1.0, 1.0) == pytest.approx(5.0)


def _native_table(cls):
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    capsule = cls.__dict__["__native_vtable__"]
    assert get_name(capsule) == b"TableOpacityVTable"
    return (ctypes.c_void_p * 10).from_address(get_pointer(capsule, b"TableOpacityVTable"))


@pytest.mark.parametrize("cls", CLASSES)
def test_native_slots_without_the_lock(cls):
    op = make(cls, GRID, oob=0)
    table = _native_table(cls)
    unlocked = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_void_p, ctypes.c_double, ctypes.c_double)
    for slot, method in [(1, op.log_opacity), (2, op.dlogkappa_dlogrho), (3, op.dlogkappa_dlogT)]:
        fn = unlocked(table[slot])  # ctypes releases the lock around the call
        for x1, x2 in [(0.3, 0.2), (1.7, 2.9), (2.0, 3.0)]:
            assert fn(id(op), *logs(cls, x1, x2)) == method(*logs(cls, x1, x2))
    bisect = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int, ctypes.c_double)(
        table[4]
    )
    grid = np.array([0.0, 1.0, 2.0, 3.0])
    ptr = grid.ctypes.data
    assert [bisect(id(op), ptr, 4, v) for v in (-1.0, 0.0, 1.0, 1.5, 3.0, 9.0, np.nan)] == [0, 0, 1, 1, 2, 2, 0]
    locked = ctypes.PYFUNCTYPE(ctypes.c_double, ctypes.c_void_p, ctypes.c_double, ctypes.c_double)(table[1])
    with pytest.raises(ValueError, match="outside the table domain"):
        locked(id(op), *logs(cls, 5.0, 1.0))


# ---------------------------------------------------------------------------
# Readers
# ---------------------------------------------------------------------------

FERGUSON_POINTS = [(4.5, -8.0, -0.422), (4.5, 1.0, 5.152), (4.0, -3.0, 1.270), (3.5, -4.0, -4.049),
                   (3.25, 1.0, -1.209), (3.0, -3.0, -0.047), (2.7, -8.0, -0.184), (2.7, 1.0, -0.177)]


def test_ferguson_table_reference_points():
    g1, g2, lk = read_ferguson_table(FERGUSON)
    assert g1.shape == (85,) and lk.shape == (85, 19) and not np.isnan(lk).any()
    assert np.all(np.diff(g1) > 0) and g1[0] == 2.7 and g1[-1] == 4.5
    op = C_QuenbyOpacity(g1, g2, lk, 0)
    for x1, x2, expected in FERGUSON_POINTS:
        assert lk[np.argmin(abs(g1 - x1)), np.argmin(abs(g2 - x2))] == expected
        assert value(op, x1, x2) == pytest.approx(expected, abs=1e-9)


def _opal_text(rows_73, rows_74):
    head = "logT  -8.0   -7.5   -7.0 \n\n"
    return (
        " header\nTable # 73   summary line\nTable # 74   summary line\n\n"
        f"TABLE # 73  $x$\n\n{head}{rows_73}\n\nTABLE # 74  $y$\n\n{head}{rows_74}\n\n"
    )


def test_opal_reader_multi_table_file(tmp_path):
    path = tmp_path / "multi"
    path.write_text(_opal_text("3.75 -0.767 -0.928 -1.119\n3.80 -0.561  9.999", "3.75  1.000  2.000  3.000\n"
                               "3.80         4.000  5.000"))
    g1, g2, lk = read_opal_table(path)
    assert list(g2) == [-8.0, -7.5, -7.0]
    np.testing.assert_array_equal(lk, [[-0.767, -0.928, -1.119], [-0.561, np.nan, np.nan]])
    g1, g2, lk = read_opal_table(path, table=74)  # a blank inside a row is placed by column
    np.testing.assert_array_equal(lk, [[1.0, 2.0, 3.0], [np.nan, 4.0, 5.0]])
    with pytest.raises(ValueError, match=r"no table # 75 \(tables present: 73, 74\)"):
        read_opal_table(path, table=75)


@pytest.mark.parametrize(
    "body, message",
    [
        ("3.75 -0.767 -0.928 -1.119\n3.80 -0.561 x.yz", r"line 10: cannot read log kappa from 'x.yz'"),
        ("3.75 -0.767 -0.928 -1.119 -1.2", r"line 9: 4 values for 3 log R columns"),
        ("3.80 -0.767 -0.928 -1.119\n3.75 -0.561", r"line 10: log T 3.75 does not increase from 3.8"),
        ("3.75 -0.767 -0.928 -1.119\n3.80    -0.561", r"line 10: cannot place the value '-0.561'"),
        ("", "the table has no data rows"),
    ],
)
def test_opal_reader_malformed(tmp_path, body, message):
    path = tmp_path / "bad"
    path.write_text(_opal_text(body, "3.75 1 2 3"))
    with pytest.raises(ValueError, match=str(path).replace("\\", r"\\") + ".*" + message):
        read_opal_table(path, table=73)


def test_ferguson_reader_fixed_width_fields(tmp_path):
    head = "comment\n   log R\n \nlog T  -8.000 -7.500\n"
    path = tmp_path / "g"
    path.write_text(head + "3.000 -10.021-10.024\n2.900  -0.118 -0.112\n")
    g1, g2, lk = read_ferguson_table(path)
    assert list(g1) == [2.9, 3.0] and list(g2) == [-8.0, -7.5]
    np.testing.assert_array_equal(lk, [[-0.118, -0.112], [-10.021, -10.024]])
    path.write_text(head + "3.000 -10.021\n")
    with pytest.raises(ValueError, match=r"line 5: the row does not hold log T and 2 values"):
        read_ferguson_table(path)
    path.write_text("no header\n")
    with pytest.raises(ValueError, match="no 'log T' header line"):
        read_ferguson_table(path)
