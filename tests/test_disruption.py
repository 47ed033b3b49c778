"""The disruption a model describes: black-hole spin, direct capture, the star's
radius and bound mass, the unit of every name, the validity of a run and the
size of its result."""

import math
import re
import tracemalloc
import warnings

import numpy as np
import pytest

import velquor.tde as tde
from velquor.tde import (
    C_CGS,
    DAY,
    GM_SUN,
    M_SUN,
    RESULT_ROWS,
    YEAR,
    DiskRun,
    DomainExit,
    PartialDisruptionWarning,
    TDEDisk,
    main_sequence_radius,
    r_isco,
    r_mb,
)

scipy_optimize = pytest.importorskip("scipy.optimize")


def kerr_circular_energy(r, a):
    """Specific energy of a circular equatorial orbit (G = M = c = 1; a < 0 retrograde)."""
    return (r**1.5 - 2 * r**0.5 + a) / (r**0.75 * np.sqrt(r**1.5 - 3 * r**0.5 + 2 * a))


# ---------------------------------------------------------------------------
# Spin: the inner edge and the marginally bound orbit
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("a", [-0.99, -0.5, 0.0, 0.5, 0.9, 0.998])
def test_orbits_agree_with_circular_orbit_energies(a):
    # The ISCO is where the circular-orbit energy is least, the marginally
    # bound orbit where it is that of a particle at rest at infinity.
    found = scipy_optimize.minimize_scalar(
        lambda r: kerr_circular_energy(r, a), bounds=(r_mb(a) * 1.0001, 20), method="bounded",
        options=dict(xatol=1e-12),
    )  # fmt: skip
    assert r_isco(a) == pytest.approx(found.x, rel=1e-7)
    assert kerr_circular_energy(r_mb(a), a) == pytest.approx(1.0, abs=1e-12)


@pytest.mark.parametrize("a, isco, mb", [(0.0, 6.0, 4.0), (0.999999, 1.0, 1.0), (-0.999999, 9.0, 3 + 2 * 2**0.5)])
def test_orbits_at_zero_and_extreme_spin(a, isco, mb):
    assert r_isco(a) == pytest.approx(isco, rel=2e-2 if a else 0)
    assert r_mb(a) == pytest.approx(mb, rel=3e-3 if a else 0)
    # Relativistic efficiency quoted for the reference inner edge.
    if a == 0.0:
        assert 1 - math.sqrt(1 - 2 / (3 * r_isco(a))) == pytest.approx(0.0572, abs=1e-4)


@pytest.mark.parametrize("spin", [-0.9, 0.0, 0.7])
def test_spin_sets_the_inner_edge(spin):
    disk = TDEDisk(spin=spin)
    r_g = GM_SUN * 1e6 / C_CGS**2
    assert disk.R_in == pytest.approx(r_isco(spin) * r_g, rel=1e-14)
    assert disk.R_mb == pytest.approx(r_mb(spin) * r_g, rel=1e-14)
    assert math.exp(disk.run_params["log_R_in"]) == pytest.approx(disk.R_in, rel=1e-14)
    # Only the inner edge moves.
    ref = TDEDisk()
    assert (disk.R_c, disk.t_fb, disk.M_fb_0) == (ref.R_c, ref.t_fb, ref.M_fb_0)


def test_without_spin_the_reference_numbers_are_unchanged():
    disk = TDEDisk()
    assert disk.R_in == 6.0 * (1e6 * GM_SUN) / C_CGS**2
    assert disk.M_fb_0 == (5.0 / 3.0 - 1.0) * disk.M_star_g / (2.0 * disk.t_fb)
    assert disk.R_star == 1.0 and disk.M_bound == 0.5
    np.testing.assert_array_equal(TDEDisk(fallback=False).initial_state[0], 0.5 * M_SUN)


@pytest.mark.parametrize("spin", [-0.9, 0.9])
def test_the_disk_loses_the_angular_momentum_of_the_spin_dependent_edge(spin):
    # Without supply, gas leaves at R_in(spin) with sqrt(G M_BH R_in): J - j_in M
    # is conserved only with the inner edge of this spin.
    disk = TDEDisk(spin=spin, fallback=False, t_end_days=1e5, integrator="euler")
    run = disk.run()
    for r_in, holds in [(disk.R_in, True), (TDEDisk(fallback=False).R_in, False)]:
        conserved = run.J - math.sqrt(tde.G_CGS * disk.M_BH_g * r_in) * run.M
        assert (np.max(np.abs(conserved / conserved[0] - 1)) < 1e-10) == holds


# ---------------------------------------------------------------------------
# Direct capture
# ---------------------------------------------------------------------------


def hills_limit(**kwargs):
    with pytest.raises(ValueError) as info:
        TDEDisk(M_BH=1e9, **kwargs)
    text = str(info.value)
    assert "direct capture" in text and "swallowed whole" in text
    return float(re.search(r"Hills limit (\S+) M_sun", text).group(1))


@pytest.mark.parametrize("kwargs", [{}, dict(spin=0.9), dict(spin=-0.9), dict(M_star=0.3), dict(beta=2.0)])
def test_direct_capture_is_refused_at_the_hills_limit(kwargs):
    m_hills = hills_limit(**kwargs)
    below = TDEDisk(M_BH=m_hills * 0.999, **kwargs)
    assert below.R_p > below.R_mb  # a disruption, just
    assert below.R_p == pytest.approx(below.R_mb, rel=2e-3)
    with pytest.raises(ValueError, match="Hills limit"):
        TDEDisk(M_BH=m_hills * 1.001, **kwargs)


def test_the_hills_limit_of_the_issue():
    # A 5e7 M_sun hole with its pericentre at 3.5 gravitational radii swallows
    # a Sun-like star whole; a prograde spin lets it disrupt the star.
    with pytest.raises(ValueError, match=r"R_p = 3\.47\d* .*r_mb = 4 .*Hills limit 4\.04\d*e\+07 M_sun.*M_BH=5e\+07"):
        TDEDisk(M_BH=5e7)
    assert hills_limit(spin=0.9) > 1e8
    assert TDEDisk(M_BH=5e7, spin=0.9).R_c > TDEDisk(M_BH=5e7, spin=0.9).R_in


# ---------------------------------------------------------------------------
# The star and its bound debris
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("m, r", [(0.5, 0.5**0.8), (0.1, 0.1**0.8), (1.0, 1.0), (2.0, 2**0.57), (10.0, 10**0.57)])
def test_stellar_radius_follows_the_main_sequence(m, r):
    assert TDEDisk(M_star=m).R_star == r == main_sequence_radius(m)
    assert TDEDisk(M_star=m, R_star=3.0).R_star == 3.0
    assert TDEDisk(M_star=m).params["R_star"] == r


@pytest.mark.parametrize("m_bound", [0.05, 0.3, 1.0])
def test_bound_mass_sets_the_fallback_and_the_ring(m_bound):
    disk = TDEDisk(beta_fb=2.2, M_bound=m_bound)
    delivered = disk.M_fb_0 * disk.t_fb / (2.2 - 1)  # the power law's integral from t_fb
    assert delivered == pytest.approx(m_bound * M_SUN, rel=1e-13)
    ring = TDEDisk(fallback=False, M_bound=m_bound)
    assert ring.initial_state[0] == pytest.approx(m_bound * M_SUN, rel=1e-15)
    assert TDEDisk(M_bound=m_bound).params["M_bound"] == m_bound


@pytest.mark.parametrize(
    "kwargs, warns", [(dict(beta=0.7), True), (dict(beta=0.7, M_bound=0.1), False), (dict(beta=1.0), False)]
)
def test_partial_disruption_warns_once_when_it_is_built(kwargs, warns):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        disk = TDEDisk(t_end_days=2e4, **kwargs)
    assert [w.category for w in caught] == ([PartialDisruptionWarning] if warns else [])
    if warns:
        assert "beta = 0.7" in str(caught[0].message) and "M_bound" in str(caught[0].message)
        assert caught[0].filename == __file__  # points at the caller
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        disk.run()  # runs never warn


# ---------------------------------------------------------------------------
# Units: one name, one unit
# ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def run():
    return TDEDisk(t_end_days=3e4).run()


def test_summary_names_its_units(run):
    s = run.summary()
    assert s["t_peak_days"] * DAY == run.t_peak == run.t_peak_days * DAY
    assert s["peak_Mdot_acc_msun_yr"] == run.peak_Mdot_acc * YEAR / M_SUN == run.peak_Mdot_acc_msun_yr
    assert s["M_end_msun"] * M_SUN == pytest.approx(run.M[-1], rel=1e-15)
    assert s["t_last_days"] * DAY == pytest.approx(run.t[-1], rel=1e-15)
    assert s["peak_L_Edd"] == pytest.approx(s["peak_L"] / run.L_Edd, rel=1e-15)
    # No key without a unit in its name holds anything but CGS or a pure number.
    assert s["max_L_Edd"] == np.max(run.L) / run.L_Edd and s["t_max_L_days"] * DAY == run.t[np.argmax(run.L)]
    # a thin closure stays on the thin branch
    assert math.isnan(s["t_left_advective_days"]) and s["n_limit_cycles"] == 0
    assert set(s) == {"n_steps", "t_last_days", "peak_Mdot_acc_msun_yr", "t_peak_days", "peak_L", "peak_L_Edd",
                      "max_L_Edd", "t_max_L_days", "M_end_msun", "late_time_slope", "t_left_advective_days",
                      "t_last_left_advective_days", "n_limit_cycles", "limit_cycle_period_days"}  # fmt: skip


@pytest.mark.parametrize(
    "old, new", [("t_end", "t_last_days"), ("peak_Mdot_acc", "peak_Mdot_acc_msun_yr"), ("t_peak", "t_peak_days"),
                 ("M_end", "M_end_msun")],
)  # fmt: skip
def test_old_summary_keys_answer_with_a_deprecation_warning(run, old, new):
    s = run.summary()
    with pytest.warns(DeprecationWarning, match=f"'{old}' is deprecated: use '{new}'") as record:
        assert s[old] == s[new]
    assert record[0].filename == __file__
    with pytest.warns(DeprecationWarning):
        assert s.get(old) == s[new]
    with pytest.raises(KeyError):
        s["peak_mdot"]
    assert s.get("peak_mdot", 7) == 7


def test_t_end_days_replaces_t_end():
    with pytest.warns(DeprecationWarning, match="t_end_days"):
        old = TDEDisk(t_end=2e4)
    new = TDEDisk(t_end_days=2e4)
    assert old.t_end_days == new.t_end_days == 2e4 and old.t_end_s == 2e4 * DAY
    with pytest.warns(DeprecationWarning, match="TDEDisk.t_end is deprecated"):
        assert new.t_end == 2e4
    with pytest.raises(TypeError, match="t_end_days"):
        TDEDisk(t_end=2e4, t_end_days=2e4)
    assert "t_end" not in new.params and new.params["t_end_days"] == 2e4
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        TDEDisk(**new.params)
    # The run's t_end is the same end, in seconds.
    assert new.run().t_end == new.t_end_s


# ---------------------------------------------------------------------------
# Validity
# ---------------------------------------------------------------------------


def crafted(rows, n=12, **inputs):
    """A run whose rows are set by hand: t = 1 .. n s, everything else inside the domain."""
    data = np.ones((len(RESULT_ROWS), n))
    data[RESULT_ROWS.index("t")] = np.arange(1.0, n + 1)
    data[RESULT_ROWS.index("tau")] = 10.0
    data[RESULT_ROWS.index("T_eff")] = 2e4
    data[RESULT_ROWS.index("H_over_R")] = 0.01
    data[RESULT_ROWS.index("M")] = 1e20
    data[RESULT_ROWS.index("t_visc")] = 1e20  # L far below L_Edd
    for name, values in rows.items():
        data[RESULT_ROWS.index(name)] = values
    return DiskRun(data, M_BH=1e39, R_in=1e12, inputs=inputs)


NAN = float("nan")


@pytest.mark.parametrize(
    "rows, inputs, expected",
    [
        ({}, {}, []),
        ({"tau": [10, 0.5, 0.2, 2, 3, 0.9, 5, 5, 5, 5, 5, 0.1]}, {},
         [("tau < 1", 2, 3, 0.2), ("tau < 1", 6, 6, 0.9), ("tau < 1", 12, 12, 0.1)]),
        ({"T_eff": [9e3] * 3 + [2e4] * 9}, {}, [("T_eff < 1e4 K", 1, 3, 9e3)]),
        ({"T_eff": [9e3] * 3 + [2e4] * 9}, {"opacity": "kramers"}, []),
        ({"T_eff": [9e3] * 3 + [2e4] * 9}, {"opacity": "es", "opal_table": "x.txt"}, []),
        ({"H_over_R": [0.1] * 10 + [0.5, 0.4]}, {"closure": "gas+radiation"}, [("H / R > 0.3", 11, 12, 0.5)]),
        ({"H_over_R": [0.1] * 10 + [0.5, 0.4]}, {"closure": "advective"}, []),
        ({"tau": [NAN] * 12, "H_over_R": [NAN] * 12}, {}, []),
        ({"tau": [0.5] * 12, "T_eff": [5e3] * 12}, {"closure": "gas"},
         [("tau < 1", 1, 12, 0.5), ("T_eff < 1e4 K", 1, 12, 5e3)]),
    ],
)  # fmt: skip
def test_validity_reports_each_range_outside_the_domain(rows, inputs, expected):
    ranges = crafted(rows, **inputs).validity()
    assert [tuple(r) for r in ranges] == [(c, float(a), float(b), pytest.approx(x)) for c, a, b, x in expected]
    assert all(isinstance(r, DomainExit) for r in ranges)


def test_a_light_hole_is_flagged_above_eddington():
    run = TDEDisk(M_BH=1e5).run()
    ratio = run.L / run.L_Edd
    (edd,) = [r for r in run.validity() if r.condition == "L / L_Edd > 1"]
    # Eddington-limited emission: L -> L_Edd (1 + ln(R_sph / R_in)), several L_Edd here.
    assert edd.extreme == pytest.approx(ratio.max(), rel=1e-15) and edd.extreme > 3
    i, j = np.searchsorted(run.t, [edd.t_start, edd.t_end])
    assert np.all(ratio[i : j + 1] > 1) and ratio[i - 1] <= 1 and (j + 1 == run.n or ratio[j + 1] <= 1)
    assert not [r for r in TDEDisk().run().validity() if r.condition == "L / L_Edd > 1"]


# ---------------------------------------------------------------------------
# The size of a result
# ---------------------------------------------------------------------------


LIMIT_COLUMNS = tde.MAX_RESULT_BYTES // (8 * len(RESULT_ROWS))


@pytest.mark.parametrize(
    "kwargs, name",
    [
        (dict(n_out=2**31 - 1), "n_out"),
        (dict(n_out=100_000_000), "n_out"),
        (dict(n_out=LIMIT_COLUMNS + 1), "n_out"),
        (dict(integrator="euler", max_steps=2**31 - 1), "max_steps"),
        (dict(integrator="adaptive", n_out=0, max_steps=LIMIT_COLUMNS + 1), "max_steps"),
    ],
)
def test_a_result_above_the_memory_cap_is_refused_before_allocation(kwargs, name):
    tracemalloc.start()
    try:
        with pytest.raises(ValueError) as info:
            TDEDisk(**kwargs)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 20
    text = str(info.value)
    assert f"{name}={kwargs[name]}" in text and "MAX_RESULT_BYTES" in text and f"at most {LIMIT_COLUMNS}" in text


def test_the_cap_counts_only_what_is_allocated(monkeypatch):
    # With output times the step limit allocates nothing.
    assert TDEDisk(max_steps=2**31 - 1, n_out=50, t_end_days=2e4).run().n == 50
    monkeypatch.setattr(tde, "MAX_RESULT_BYTES", 160 * 500)
    assert TDEDisk(n_out=500, t_end_days=2e4).run().n == 500
    with pytest.raises(ValueError, match="n_out=501"):
        TDEDisk(n_out=501)
    with pytest.raises(ValueError, match="max_steps=200000"):
        TDEDisk(integrator="euler")
