"""The tidal-disruption disk model: derived parameters, wiring into the native
model, the labelled result and its exports."""

import math
import pathlib
import warnings

import numpy as np
import pytest

from velquor.dynamics.accretion.one_zone import IntegrationError, Status
from velquor.dynamics.accretion.one_zone.closure import DISK_F0, G_CGS
from velquor.tde import C_CGS, DAY, M_SUN, RESULT_ROWS, DiskRun, TDEDisk, available_integrators

OPAL = pathlib.Path(__file__).parent / "data" / "opacity" / "opal_gn93_x0.70_z0.02.txt"


def same_4_figures(x, ref):
    return f"{x:.4g}" == f"{ref:.4g}"


# ---------------------------------------------------------------------------
# Derived parameters
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "attr, ref",
    [
        ("M_BH_g", 1.98841e39),
        ("R_t", 6.957e12),
        ("R_c", 1.3914e13),
        ("R_in", 8.85975e11),
        ("t_fb", 3.53844e6),
        ("M_fb_0", 1.87315e26),
    ],
)
def test_reference_disruption(attr, ref):
    value = getattr(TDEDisk(), attr)
    assert same_4_figures(value, ref)
    assert value == pytest.approx(ref, rel=1e-5)


@pytest.mark.parametrize("beta", [0.7, 1.0, 2.5])
def test_penetration_factor_moves_only_the_circularisation_radius(beta):
    ref, deep = TDEDisk(), TDEDisk(beta=beta, M_bound=0.5)
    assert deep.R_c == pytest.approx(ref.R_c / beta, rel=1e-14)
    assert deep.R_p == pytest.approx(deep.R_c / 2, rel=1e-14)
    assert (deep.R_t, deep.t_fb, deep.M_fb_0, deep.R_in) == (ref.R_t, ref.t_fb, ref.M_fb_0, ref.R_in)


@pytest.mark.parametrize("beta_fb", [1.2, 5 / 3, 2.2, 9 / 4])
def test_fallback_delivers_the_bound_half_of_the_star(beta_fb):
    disk = TDEDisk(M_star=0.5, R_star=0.45, beta_fb=beta_fb)
    total = disk.M_fb_0 * disk.t_fb / (beta_fb - 1)  # integral of the power law from t_fb on
    assert total == pytest.approx(0.5 * disk.M_star_g, rel=1e-12)


def test_scalings_with_black_hole_and_star():
    a, b = TDEDisk(M_BH=1e6), TDEDisk(M_BH=8e6, M_star=2, R_star=3)
    # t_fb ~ M_BH^(1/2) M_star^(-1) R_star^(3/2), R_c ~ R_star (M_BH / M_star)^(1/3)
    assert b.t_fb / a.t_fb == pytest.approx(8**0.5 / 2 * 3**1.5, rel=1e-12)
    assert b.R_c / a.R_c == pytest.approx(3 * 4 ** (1 / 3), rel=1e-12)
    assert b.R_in / a.R_in == pytest.approx(8, rel=1e-12)


@pytest.mark.parametrize("fallback", [True, False])
def test_run_params_are_natural_logs_of_cgs_values(fallback):
    disk = TDEDisk(M_BH=3e6, alpha=0.05, fallback=fallback)
    p = disk.run_params
    assert math.exp(p["log_M_BH"]) == pytest.approx(3e6 * M_SUN, rel=1e-13)
    assert math.exp(p["log_R_in"]) == pytest.approx(6 * G_CGS * 3e6 * M_SUN / C_CGS**2, rel=1e-12)
    assert p["alpha"] == 0.05
    if fallback:
        assert math.exp(p["log_M_fb_0"]) == pytest.approx(disk.M_fb_0, rel=1e-13)
        assert math.exp(p["log_R_c"]) == pytest.approx(disk.R_c, rel=1e-13)
        assert math.exp(p["log_t_fb"]) == pytest.approx(disk.t_fb, rel=1e-13)
        assert p["beta_fb"] == pytest.approx(5 / 3)
    else:
        assert set(p) == {"log_M_BH", "log_R_in", "alpha"}


def test_params_rebuild_the_model():
    disk = TDEDisk(M_BH=2e6, beta=1.5, opacity="kramers", fallback=False, t_end_days=1e4)
    again = TDEDisk(**disk.params)
    assert again.params == disk.params
    assert again.run_params == disk.run_params


# ---------------------------------------------------------------------------
# Validation
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, words",
    [
        (dict(M_BH=-1e6), ["M_BH", "-1000000.0"]),
        (dict(M_BH=0), ["M_BH", "0"]),
        (dict(M_BH=float("nan")), ["M_BH", "nan"]),
        (dict(M_star=0.0), ["M_star", "0.0"]),
        (dict(R_star=-2), ["R_star", "-2"]),
        (dict(beta=0), ["beta", "0"]),
        (dict(alpha=0), ["alpha", "0"]),
        (dict(alpha=1.5), ["alpha", "1.5"]),
        (dict(mu=-0.6), ["mu", "-0.6"]),
        (dict(epsilon=1.0), ["epsilon", "1.0"]),
        (dict(epsilon=0), ["epsilon", "0"]),
        (dict(t_end_days=10.0), ["t_end_days", "10.0"]),
        (dict(t_end_days=-5), ["t_end_days", "-5"]),
        (dict(max_steps=0), ["max_steps", "0"]),
        (dict(beta_fb=1.0), ["beta_fb", "1.0"]),
        (dict(seed_mass=0.6), ["seed_mass", "0.6"]),
        (dict(eta=0), ["eta", "0"]),
        (dict(closure="radiation"), ["closure", "'radiation'", "'gas+radiation'"]),
        (dict(opacity="grey"), ["opacity", "'grey'", "'kramers'", "'opal'"]),
        (dict(integrator="rk4"), ["integrator", "'rk4'"]),
        (dict(n_out=1), ["n_out", "1"]),
        (dict(M_BH=1e8), ["direct capture", "Hills limit 4.042e+07 M_sun", "M_BH=1e+08"]),  # swallowed whole
        (dict(M_BH=1e7, beta=20), ["direct capture", "Hills", "beta=20"]),
        (dict(spin=1.0), ["spin", "(-1, 1)", "1.0"]),
        (dict(M_BH=1e308, M_star=1e-300), ["overflow or vanish", "M_BH=1e+308"]),
        (dict(M_bound=0), ["M_bound", "0"]),
        (dict(M_bound=1.5), ["M_bound", "M_star = 1 M_sun", "1.5"]),
        (dict(M_bound=float("nan")), ["M_bound", "nan"]),
        (dict(M_bound=1e-3, seed_mass=1e-3), ["seed_mass", "M_bound = 0.001"]),
        (dict(opal_table_number=73), ["opal_table_number", "opal_table", "73"]),
    ],
)
def test_bad_values_name_the_argument_and_value(kwargs, words):
    with pytest.raises(ValueError) as info:
        TDEDisk(**kwargs)
    for word in words:
        assert word in str(info.value)


@pytest.mark.parametrize(
    "kwargs, name",
    [(dict(M_BH="1e6"), "M_BH"), (dict(alpha=None), "alpha"), (dict(fallback="yes"), "fallback"),
     (dict(max_steps=1.5), "max_steps"), (dict(opacity=object()), "opacity")],
)  # fmt: skip
def test_wrong_types_name_the_argument(kwargs, name):
    with pytest.raises(TypeError, match=name):
        TDEDisk(**kwargs)


@pytest.mark.parametrize("path", ["missing.txt", "."])
def test_unreadable_opacity_table(tmp_path, path):
    with pytest.raises(ValueError, match="cannot read opacity table"):
        TDEDisk(opal_table=tmp_path / path)


def test_malformed_opacity_table(tmp_path):
    bad = tmp_path / "bad.txt"
    bad.write_text("logT 1 2 3\n4.0 x y z\n")
    with pytest.raises(ValueError, match="bad.txt"):
        TDEDisk(opal_table=bad)


# ---------------------------------------------------------------------------
# Runs against a hand-built closure
# ---------------------------------------------------------------------------


def hand_built(closure_name, fallback, opacity, run_params, state, t0, t1, max_steps, epsilon, mu=0.6):
    from velquor.dynamics.accretion.one_zone.integrator import run_one_zone_model
    from velquor.dynamics.accretion.one_zone.models._hollin import FullPressureClosure

    closure = FullPressureClosure(gas_pressure_only=closure_name == "gas", with_fallback=fallback, mu=mu)
    closure.opacity = opacity
    closure.bind_runtime_parameters(dict(run_params))
    return run_one_zone_model(np.array(state), t0, t1, max_steps, closure, epsilon)


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(),
        dict(fallback=False, opacity="kramers", M_BH=3e6, alpha=0.03, mu=0.62),
        dict(M_star=0.5, R_star=0.5, beta=2.0, beta_fb=2.0, seed_mass=1e-4, t_end_days=2e4),
        dict(M_star=0.05, R_star=1.0, fallback=False, closure="gas+radiation", t_end_days=1e5, epsilon=1e-2),
    ],
)
def test_run_equals_hand_built_closure(kwargs):
    disk = TDEDisk(integrator="euler", **kwargs)
    run = disk.run()
    expected = hand_built(
        disk.closure, disk.fallback, disk.opacity, disk.run_params, disk.initial_state,
        disk.t_fb, disk.t_end_days * DAY, disk.max_steps, disk.epsilon, disk.mu,
    )  # fmt: skip
    assert run.data.shape == expected.shape
    np.testing.assert_array_equal(run.data, expected)
    assert run.completed


@pytest.mark.skipif("adaptive" not in available_integrators(), reason="adaptive integrator not built")
def test_adaptive_run_equals_hand_built_closure():
    from velquor.dynamics.accretion.one_zone.adaptive import run_one_zone_model_adaptive
    from velquor.dynamics.accretion.one_zone.models._hollin import FullPressureClosure

    disk = TDEDisk(integrator="adaptive", rtol=1e-7, n_out=300)
    run = disk.run()
    closure = FullPressureClosure(True, True, 0.6)
    closure.bind_runtime_parameters(disk.run_params)
    t_eval = np.geomspace(disk.t_fb, disk.t_end_days * DAY, 300)
    expected = run_one_zone_model_adaptive(
        disk.initial_state, disk.t_fb, disk.t_end_days * DAY, closure, rtol=1e-7, max_steps=disk.max_steps, t_eval=t_eval
    )
    np.testing.assert_array_equal(run.data, expected)
    # Both integrators describe the same disk.
    euler = TDEDisk(integrator="euler", epsilon=1e-4).run()
    assert run.peak_Mdot_acc == pytest.approx(euler.peak_Mdot_acc, rel=2e-3)
    assert run.M[-1] == pytest.approx(euler.M[-1], rel=2e-3)


def test_closure_choice_reaches_the_thermal_solve():
    light = dict(M_star=0.05, R_star=1.0, fallback=False, t_end_days=3e4, epsilon=1e-2)
    gas = TDEDisk(closure="gas", **light).run()
    rad = TDEDisk(closure="gas+radiation", **light).run()
    # Radiation pressure adds support: the same heating balances at a higher T_c.
    assert rad.T_c[0] > gas.T_c[0]
    assert rad.T_c[0] == pytest.approx(gas.T_c[0], rel=1e-2)


def test_initial_disk_is_a_ring_at_the_circularisation_radius():
    fed = TDEDisk(seed_mass=2e-3).run()
    ring = TDEDisk(fallback=False, M_star=0.8, R_star=0.8).run()
    assert fed.R[0] == pytest.approx(TDEDisk().R_c, rel=1e-12)
    assert fed.M[0] == pytest.approx(2e-3 * M_SUN, rel=1e-14)
    assert fed.t[0] == TDEDisk().t_fb
    assert ring.M[0] == pytest.approx(0.4 * M_SUN, rel=1e-14)
    assert ring.R[0] == pytest.approx(TDEDisk(M_star=0.8, R_star=0.8).R_c, rel=1e-12)


def test_without_supply_the_disk_keeps_its_inner_edge_angular_momentum():
    # Gas leaves at R_in with specific angular momentum sqrt(G M_BH R_in): a
    # wrong black-hole mass or inner radius in the run parameters breaks this.
    disk = TDEDisk(fallback=False, t_end_days=1e5)
    run = disk.run()
    j_in = math.sqrt(G_CGS * disk.M_BH_g * disk.R_in)
    conserved = run.J - j_in * run.M
    assert np.max(np.abs(conserved / conserved[0] - 1)) < 1e-10
    assert run.M[-1] < 0.5 * run.M[0]


def test_draining_disk_approaches_the_self_similar_decline():
    run = TDEDisk(fallback=False, t_end_days=1e7).run()
    assert run.late_time_slope() == pytest.approx(-19 / 16, abs=0.05)


@pytest.mark.skipif(not OPAL.exists(), reason="OPAL sample table not present")
def test_opal_table_run():
    run = TDEDisk(opal_table=OPAL, t_end_days=2e4).run()
    es = TDEDisk(t_end_days=2e4).run()
    assert run.completed and np.all(np.isfinite(run.T_c))
    # The table (bound-free and line absorption on top of scattering) makes
    # the young disk more opaque, hence hotter inside, than scattering alone.
    assert run.tau[0] > es.tau[0] and run.T_c[0] > es.T_c[0]


def test_too_few_steps_warns_and_is_flagged():
    disk = TDEDisk(max_steps=50, integrator="euler")
    with pytest.warns(RuntimeWarning, match="max_steps=50"):
        run = disk.run()
    assert run.n == 50 and not run.completed
    assert "stopped before t_end" in repr(run)


@pytest.mark.skipif("adaptive" not in available_integrators(), reason="adaptive integrator not built")
def test_too_few_adaptive_steps_raise():
    with pytest.raises(RuntimeError, match=r"STEP_LIMIT.*max_steps \(50\)"):
        TDEDisk(max_steps=50, integrator="adaptive").run()


def test_gas_plus_radiation_failure_explains_itself():
    with pytest.raises(RuntimeError, match=r"EXPAND_FAIL.*radiation-pressure instability"):
        TDEDisk(closure="gas+radiation").run()


@pytest.mark.parametrize("integrator", ["euler", "adaptive"])
def test_a_failed_run_keeps_its_status_and_what_it_computed(integrator):
    # told apart by status, not by text; the columns before the failure come along
    with pytest.raises(IntegrationError) as info:
        TDEDisk(closure="gas+radiation", integrator=integrator, epsilon=1e-3).run()
    exc = info.value
    assert exc.status == Status.CLOSURE_EXPAND_FAIL and exc.status_name == "CLOSURE_EXPAND_FAIL"
    rows, n = exc.partial.shape
    assert rows == len(RESULT_ROWS) and n >= 1
    t = exc.partial[RESULT_ROWS.index("t")]
    assert t[-1] < exc.t_failed and exc.state.shape == (2,) and exc.state[0] > 0


@pytest.mark.parametrize("integrator", ["euler", "adaptive"])
def test_a_truncated_run_is_the_failure_s_columns_with_its_reason(integrator, tmp_path):
    model = TDEDisk(closure="gas+radiation", integrator=integrator)
    with pytest.raises(IntegrationError) as info:
        model.run()
    exc = info.value
    run = model.run(on_failure="truncate")
    np.testing.assert_array_equal(run.data, exc.partial)
    assert not run.completed and "stopped before t_end by CLOSURE_EXPAND_FAIL" in repr(run)
    f = run.failure
    assert (f.status, f.message, f.t_failed, f.state) == (exc.status, str(exc), exc.t_failed, tuple(exc.state))
    assert "radiation-pressure instability" in f.message
    # The record survives both files.
    run.save_npz(tmp_path / "run.npz")
    assert DiskRun.load_npz(tmp_path / "run.npz").failure == f
    run.save_csv(tmp_path / "run.csv")
    assert "# failed: CLOSURE_EXPAND_FAIL (-102) at t = " in (tmp_path / "run.csv").read_text()


def test_truncation_needs_a_column_and_a_known_choice():
    # Half the star at R_c has no thin gas+radiation equilibrium at all: nothing to keep.
    with pytest.raises(IntegrationError) as info:
        TDEDisk(closure="gas+radiation", fallback=False).run(on_failure="truncate")
    assert info.value.partial.shape[1] == 0
    with pytest.raises(ValueError, match="unknown on_failure 'keep'"):
        TDEDisk().run(on_failure="keep")


# ---------------------------------------------------------------------------
# The labelled result
# ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def reference_run():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return TDEDisk(t_end_days=3e4).run()


def test_rows_are_labelled(reference_run):
    run = reference_run
    for k, name in enumerate(RESULT_ROWS):
        np.testing.assert_array_equal(getattr(run, name), run.data[k])
    np.testing.assert_array_equal(run.step, np.arange(run.n))
    np.testing.assert_allclose(run.H_over_R, run.H / run.R, rtol=1e-14)
    with pytest.raises(ValueError):
        run.data[1, 0] = 0.0  # the result is read-only


def test_accretion_rate_is_supply_minus_growth(reference_run):
    run = reference_run
    np.testing.assert_allclose(run.Mdot_acc, run.Mdot_fb - run.dM_dt, rtol=1e-6)
    np.testing.assert_allclose(run.Mdot_acc, DISK_F0 * run.M / run.t_visc, rtol=1e-15)
    assert run.Mdot_fb[0] == pytest.approx(TDEDisk().M_fb_0, rel=1e-15)
    run1 = DiskRun(run.data, M_BH=run.M_BH, R_in=run.R_in, eta=0.1)  # an explicit efficiency
    np.testing.assert_allclose(run1.L, 0.1 * run.Mdot_acc * C_CGS**2, rtol=1e-15)
    run2 = DiskRun(run.data, M_BH=run.M_BH, R_in=run.R_in, eta=0.05)
    np.testing.assert_array_equal(run2.Mdot_fb, 0.0)
    np.testing.assert_allclose(run2.L, 0.5 * run1.L, rtol=1e-15)


def test_peak_and_summary(reference_run):
    run = reference_run
    i = int(np.argmax(run.Mdot_acc))
    assert run.t_peak == run.t[i] and run.peak_Mdot_acc == run.Mdot_acc[i]
    assert 0 < i < run.n - 1  # the reference disk peaks long after t_fb
    s = run.summary()
    assert s["n_steps"] == run.n
    assert s["M_end_msun"] == pytest.approx(run.M[-1] / M_SUN)
    text = repr(run)
    assert f"{run.n} steps" in text and "peak Mdot_acc" in text and "M_sun/yr" in text


@pytest.mark.parametrize("bad", [0, 1.5, float("nan")])
def test_eta_is_checked(reference_run, bad):
    with pytest.raises(ValueError, match="eta"):
        DiskRun(reference_run.data, M_BH=1e39, R_in=1e12, eta=bad)


def test_result_copies_unless_told(reference_run):
    mine = np.array(reference_run.data)
    copied = DiskRun(mine, M_BH=1e39, R_in=1e12)
    mine[1, 0] = -1.0
    assert copied.t[0] == reference_run.t[0]
    adopted = DiskRun(mine, M_BH=1e39, R_in=1e12, copy=False)
    assert adopted.data is mine and not mine.flags.writeable


@pytest.mark.parametrize("shape", [(19, 5), (20, 0), (20,)])
def test_result_shape_is_checked(shape):
    with pytest.raises(ValueError, match="shape"):
        DiskRun(np.zeros(shape), M_BH=1e39, R_in=1e12)


def test_npz_round_trip(tmp_path, reference_run):
    path = tmp_path / "run.npz"
    reference_run.save_npz(path)
    back = DiskRun.load_npz(path)
    np.testing.assert_array_equal(back.data, reference_run.data)
    assert back.meta == reference_run.meta
    np.testing.assert_array_equal(back.Mdot_fb, reference_run.Mdot_fb)


def test_csv_has_units_and_all_columns(tmp_path, reference_run):
    path = tmp_path / "run.csv"
    reference_run.save_csv(path)
    lines = path.read_text().splitlines()
    header = next(line for line in lines if not line.startswith("#"))
    names = header.split(",")
    for expected in ["t [s]", "M [g]", "T_c [K]", "Sigma [g cm^-2]", "Mdot_acc [g s^-1]", "L [erg s^-1]", "tau"]:
        assert expected in names
    table = np.loadtxt(path, delimiter=",", comments="#", skiprows=lines.index(header) + 1)
    d = reference_run.to_dict()
    assert table.shape == (reference_run.n, len(d))
    for k, values in enumerate(d.values()):
        np.testing.assert_allclose(table[:, k], values, rtol=1e-10)


def test_plot(reference_run):
    mpl = pytest.importorskip("matplotlib")
    mpl.use("Agg")
    import matplotlib.pyplot as plt

    fig = reference_run.plot()
    try:
        axes = fig.get_axes()
        assert len(axes) == 4
        for ax in axes:
            assert ax.get_xscale() == "log" and ax.get_yscale() == "log"
            assert "[" in ax.get_ylabel()  # every axis names its unit
        labels = [t.get_text() for ax in axes if ax.get_legend() for t in ax.get_legend().get_texts()]
        assert any("fallback" in s for s in labels) and any("T_c" in s for s in labels)
        assert "days" in axes[-1].get_xlabel()
    finally:
        plt.close(fig)


@pytest.mark.parametrize("integrator", ["euler", "adaptive"])
def test_tdedisk_refuses_a_t_end_that_overflows_in_seconds(integrator):
    with pytest.raises(ValueError, match=r"t_end_days must be finite in seconds, got 1e\+304 days"):
        TDEDisk(t_end_days=1e304, integrator=integrator)


# ---------------------------------------------------------------------------
# The advective closure in the model and its result
# ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def advective_run():
    return TDEDisk(closure="advective").run()


def test_advective_model_builds_its_closure_and_round_trips():
    from velquor.dynamics.accretion.one_zone.models._advective import AdvectiveClosure

    disk = TDEDisk(closure="advective", xi=0.5)
    closure = disk.make_closure()
    assert type(closure) is AdvectiveClosure and closure._xi == 0.5 and closure._has_fallback
    assert TDEDisk(**disk.params).params == disk.params and "xi=0.5" in repr(disk)
    assert TDEDisk(closure="advective").xi == 1.0 and TDEDisk().xi is None


@pytest.mark.parametrize("kwargs, words", [
    (dict(closure="gas", xi=1.0), ["xi", "'advective' only", "'gas'"]),
    (dict(closure="advective", xi=-0.5), ["xi", ">= 0", "-0.5"]),
    (dict(closure="advective", xi=float("nan")), ["xi", "finite"]),
])  # fmt: skip
def test_xi_is_checked(kwargs, words):
    with pytest.raises(ValueError) as info:
        TDEDisk(**kwargs)
    assert all(w in str(info.value) for w in words)


def test_advective_result_has_the_branch_rows(advective_run):
    from velquor.tde import BRANCH_ROWS

    run = advective_run
    assert BRANCH_ROWS == ("f_rad", "branch") and run.data.shape == (22, 2000) and run.reports_branch
    assert set(np.unique(run.branch)) == {0.0, 1.0}
    assert np.all((run.f_rad > 0) & (run.f_rad <= 1 + 1e-9))
    # advection-dominated on the advective branch, radiative on the thin one
    assert run.f_rad[run.branch == 1].min() < 0.01 and run.f_rad[run.branch == 0].min() > 0.999
    assert np.array_equal(run.Mdot_rad, run.f_rad * run.Mdot_acc)


def test_thin_result_radiates_everything(reference_run):
    assert not reference_run.reports_branch
    assert np.all(reference_run.f_rad == 1.0) and np.all(reference_run.branch == 0.0)
    assert np.array_equal(reference_run.Mdot_rad, reference_run.Mdot_acc)
    assert [e.branch for e in reference_run.branch_episodes()] == [0]


def test_advected_heat_is_not_radiated(advective_run):
    """One emission model: the bolometric and band luminosities of the
    Eddington-limited disk fed at f_rad Mdot_acc."""
    from velquor.observe import disk_luminosity, disk_spectrum

    run = advective_run
    up = np.flatnonzero(run.branch == 1)[::20]
    expected = disk_luminosity(run.f_rad[up] * run.Mdot_acc[up], run.M_BH, run.R_in, run.R[up])
    assert np.allclose(run.L[up], expected, rtol=1e-12)
    assert np.all(run.L[up] < disk_luminosity(run.Mdot_acc[up], run.M_BH, run.R_in, run.R[up]))
    nu = np.geomspace(1e14, 1e18, 40)
    assert np.allclose(run.spectrum(nu)[up], disk_spectrum(nu, run.Mdot_rad[up], run.M_BH, run.R_in, run.R[up]),
                       rtol=1e-12)
    with_eta = DiskRun(run.data, M_BH=run.M_BH, R_in=run.R_in, eta=0.1)
    assert np.allclose(with_eta.L, 0.1 * run.f_rad * run.Mdot_acc * C_CGS**2, rtol=1e-14)


def test_branch_episodes_and_summary(advective_run):
    run = advective_run
    episodes = run.branch_episodes()
    assert [e.branch for e in episodes] == [k % 2 for k in range(len(episodes))] and len(episodes) >= 3
    assert episodes[0].t_start == run.t[0] and episodes[-1].t_end == run.t[-1]
    assert all(a.t_end < b.t_start for a, b in zip(episodes, episodes[1:]))
    s = run.summary()
    assert s["t_left_advective_days"] * DAY == episodes[2].t_start
    assert s["t_last_left_advective_days"] * DAY == [e for e in episodes if e.branch == 0][-1].t_start
    assert s["n_limit_cycles"] == sum(e.branch for e in episodes[2:])
    assert s["max_L_Edd"] == pytest.approx(max(e.peak_L for e in episodes) / run.L_Edd, rel=1e-12)
    assert s["max_L_Edd"] > 1
    # a slim disk is no thin disk: above Eddington and thick is inside its domain
    assert {r.condition for r in run.validity()} <= {"tau < 1", "T_eff < 1e4 K"}


def test_advective_result_exports(tmp_path, advective_run):
    run = advective_run
    run.save_npz(tmp_path / "run.npz")
    back = DiskRun.load_npz(tmp_path / "run.npz")
    assert np.array_equal(back.data, run.data) and back.reports_branch
    run.save_csv(tmp_path / "run.csv")
    lines = (tmp_path / "run.csv").read_text().splitlines()
    header = next(line for line in lines if not line.startswith("#")).split(",")
    assert header[20:22] == ["f_rad", "branch"] and "fed at f_rad Mdot_acc" in "\n".join(lines[:6])
    table = np.loadtxt(tmp_path / "run.csv", delimiter=",", comments="#", skiprows=6)
    assert np.allclose(table[:, 21], run.branch) and np.allclose(table[:, 20], run.f_rad, rtol=1e-9)


def test_advective_plot_shades_the_advective_branch(advective_run):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    fig = advective_run.plot(Figure())
    assert "advective branch" in [t.get_text() for t in fig.axes[0].get_legend().get_texts()]
    for ax in fig.axes:  # units on every axis
        assert "[" in ax.get_xlabel() and "[" in ax.get_ylabel()
