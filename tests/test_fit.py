"""TDEFit: the likelihood against a hand computation, -inf instead of exceptions, priors and
fixing, the stopping rule, chains saved and resumed, results saved and loaded, figures, and
the recovery of a black-hole mass from a synthetic light curve."""

import math
import pickle
import re
import warnings

import numpy as np
import pytest

pytest.importorskip("velquor.observe")
pytest.importorskip("emcee")
pytest.importorskip("scipy")
pytest.importorskip("astropy")

from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from velquor.fit import (  # noqa: E402
    ConvergenceWarning,
    FitResult,
    LogUniform,
    Normal,
    Photometry,
    Sine,
    TDEFit,
    Uniform,
    synthetic_light_curve,
)
from velquor.fit._sampling import autocorrelation_converged  # noqa: E402

# A tiny light curve: a magnitude, a flux density, a negative flux, and two limits.
TINY = Photometry(
    time=[59100.0, 59101.0, 59102.0, 59103.0, 59104.0],
    band=["ztf_g", "uvot_uvw1", "ztf_r", "xrt", "ztf_r"],
    value=[19.0, 50.0, -2.0, 1e-13, 30.0],
    error=[0.1, 5.0, 4.0, math.nan, math.nan],
    unit=["mag", "uJy", "uJy", "erg/s/cm2", "uJy"],
    upper_limit=[False, False, False, True, True],
    limit_sigma=[3.0, 3.0, 3.0, 3.0, 5.0],
)
VALID = {"M_BH": 1e6, "M_star": 1.0, "beta": 1.2, "alpha": 0.1, "t_disruption_mjd": 59000.0, "inclination": 40.0,
         "f_sys": 0.0}  # fmt: skip


@pytest.fixture(scope="module")
def tiny_fit():
    return TDEFit(TINY, z=0.05)


@pytest.fixture(scope="module")
def demo():
    phot, truth = synthetic_light_curve(seed=2)
    return TDEFit(phot, z=0.02), truth


def ln_phi(x):
    return math.log(0.5 * math.erfc(-x / math.sqrt(2.0)))


@pytest.mark.parametrize("f_sys", [0.0, 0.1, 0.5])
def test_likelihood_by_hand(tiny_fit, monkeypatch, f_sys):
    model = np.array([42.0, 60.0, 3.0, 2e-14, 20.0])  # uJy, uJy, uJy, erg/s/cm2, uJy
    monkeypatch.setattr(tiny_fit.model, "evaluate", lambda p, pts: model.copy())
    f_g = 3631e6 * 10 ** (-0.4 * 19.0)
    data = [(f_g, 0.4 * math.log(10.0) * f_g * 0.1, model[0]), (50.0, 5.0, model[1]), (-2.0, 4.0, model[2])]
    expected = 0.0
    for d, sigma, m in data:
        s2 = sigma**2 + (f_sys * m) ** 2
        expected += -0.5 * ((d - m) ** 2 / s2 + math.log(2 * math.pi * s2))
    # the floor widens limits too: s_U^2 = (U / n)^2 + (f_sys m)^2
    expected += ln_phi((1e-13 - 2e-14) / math.hypot(1e-13 / 3, f_sys * 2e-14))
    expected += ln_phi((30.0 - 20.0) / math.hypot(30.0 / 5, f_sys * 20.0))
    assert tiny_fit.log_likelihood({**VALID, "f_sys": f_sys}) == pytest.approx(expected, rel=1e-12)
    lp = tiny_fit.log_prior({**VALID, "f_sys": f_sys})
    assert tiny_fit.log_probability({**VALID, "f_sys": f_sys}) == pytest.approx(lp + expected, rel=1e-12)


@pytest.mark.parametrize(
    "change, why",
    [
        ({}, "model fails"),
        ({"t_disruption_mjd": 59100.5}, "disruption after the first detection"),
        ({"M_BH": 1e9}, "direct capture"),
        ({"beta": 30.0}, "direct capture"),
    ],
)
def test_minus_infinity_not_exceptions(tiny_fit, monkeypatch, change, why):
    if why == "model fails":
        monkeypatch.setattr(tiny_fit.model, "evaluate", lambda p, pts: None)
    p = {**VALID, **change}
    assert tiny_fit.log_likelihood(p) == -math.inf
    assert tiny_fit.log_probability(p) == -math.inf


@settings(max_examples=60, deadline=None)
@given(
    log_m=st.floats(2.0, 11.0), m_star=st.floats(1e-3, 200.0), beta=st.floats(0.05, 50.0),
    alpha=st.floats(1e-5, 3.0), dt=st.floats(-100.0, 3000.0), inc=st.floats(-20.0, 120.0), f_sys=st.floats(-1.0, 3.0),
)  # fmt: skip
def test_any_parameters_give_a_number(tiny_fit, log_m, m_star, beta, alpha, dt, inc, f_sys):
    p = {"M_BH": 10**log_m, "M_star": m_star, "beta": beta, "alpha": alpha, "t_disruption_mjd": 59100.0 - dt,
         "inclination": inc, "f_sys": f_sys}  # fmt: skip
    for value in (tiny_fit.log_likelihood(p), tiny_fit.log_probability(p)):
        assert isinstance(value, float) and not math.isnan(value) and value < math.inf


PRIORS = [Uniform(2.0, 5.0), LogUniform(1e-2, 1e3), Normal(1.0, 2.0, -1.0, 4.0), Normal(0.0, 1.0), Sine(0.0, 85.0),
          Sine(20.0, 160.0)]  # fmt: skip


@pytest.mark.parametrize("prior", PRIORS, ids=repr)
def test_prior_densities_are_normalised_and_match_their_quantiles(prior):
    from scipy.integrate import quad

    lo, hi = (x if math.isfinite(x) else math.copysign(12.0, x) for x in (prior.lo, prior.hi))
    pieces = np.geomspace(lo, hi, 8) if isinstance(prior, LogUniform) else np.linspace(lo, hi, 8)
    total = sum(quad(lambda x: math.exp(prior.log_density(x)), a, b)[0] for a, b in zip(pieces[:-1], pieces[1:]))
    assert total == pytest.approx(1.0, abs=1e-7)
    ua, ub = sorted((float(prior.to_sampler(lo)), float(prior.to_sampler(hi))))  # cos i decreases
    assert quad(lambda u: math.exp(prior.log_density_sampler(u)), ua, ub, limit=200)[0] == pytest.approx(1.0, abs=1e-7)
    for q in (0.1, 0.5, 0.9):  # d ppf / dq = 1 / density
        x, h = float(prior.ppf(q)), 1e-6
        slope = (float(prior.ppf(q + h)) - float(prior.ppf(q - h))) / (2 * h)
        assert slope == pytest.approx(math.exp(-prior.log_density(x)), rel=1e-5)
    assert prior.log_density(prior.lo - 1.0) == -math.inf
    from velquor.fit._priors import prior_from_dict

    assert prior_from_dict(prior.to_dict()) == prior


def test_default_free_parameters_priors_and_fixing():
    fit = TDEFit(TINY, z=0.05)
    assert fit.parameters == ("M_BH", "M_star", "beta", "alpha", "t_disruption_mjd", "inclination", "f_sys")
    assert fit.coordinates[:2] == ("log10_M_BH", "log10_M_star")
    assert fit.fixed == {"spin": 0.0, "R_out_factor": 1.0, "f_col": 1.0, "ebv_host": 0.0}
    t = fit.priors["t_disruption_mjd"]
    assert (t.lo, t.hi) == (59100.0 - 1000.0, 59100.0)  # before the first detection
    fit = TDEFit(TINY, z=0.05, priors={"M_BH": (1e5, 1e7), "ebv_host": (0.0, 0.3), "spin": Uniform(-0.5, 0.5)},
                 fixed={"beta": 1.0, "f_col": "done12", "f_sys": 0.1})  # fmt: skip
    assert fit.priors["M_BH"] == LogUniform(1e5, 1e7)  # the default kind, new bounds
    assert "ebv_host" in fit.parameters and "spin" in fit.parameters  # a prior frees a fixed-by-default parameter
    assert fit.fixed["beta"] == 1.0 and fit.fixed["f_col"] == "done12" and "beta" not in fit.parameters
    assert fit.model.photometer_options["f_col"] == "done12"
    full = fit.complete({n: fit.priors[n].ppf(0.5) for n in fit.parameters})
    assert full["beta"] == 1.0 and set(full) >= set(fit.parameters)


@pytest.mark.parametrize(
    "kwargs, error, fragment",
    [
        ({"priors": {"M_bh": (1, 2)}}, ValueError, "did you mean 'M_BH'"),
        ({"fixed": {"bb_T": 1e4}}, ValueError, "blackbody=True"),
        ({"fixed": {"beta": 1.0}, "priors": {"beta": (1, 2)}}, ValueError, "not both"),
        ({"fixed": {"f_col": "hot"}}, ValueError, "done12"),
        ({"priors": {"f_col": (0.5, 2.0)}}, ValueError, ">= 1"),
        ({"priors": {"ebv_host": (-0.1, 0.5)}}, ValueError, ">= 0"),
        ({"fixed": {"t_disruption_mjd": 59150.0}}, ValueError, "first detection"),
        ({"priors": {"M_BH": "wide"}}, TypeError, "Prior or (lo, hi)"),
        ({"z": 0.0}, ValueError, "z must be > 0 when no distance is given"),
        ({"z": -0.1, "d_L": 1e27}, ValueError, "z must be >= 0"),
        ({"d_L": -1.0}, ValueError, "d_L must be > 0"),
        ({"fixed": {k: 1.0 for k in ("M_BH", "M_star", "beta", "alpha", "inclination", "f_sys")} |
          {"t_disruption_mjd": 59000.0}}, ValueError, "nothing to fit"),
    ],
)  # fmt: skip
def test_bad_fit_settings(kwargs, error, fragment):
    kwargs = {"z": 0.05, **kwargs}
    with pytest.raises(error) as info:
        TDEFit(TINY, **kwargs)
    assert fragment in str(info.value)


@pytest.mark.parametrize(
    "params, error, fragment",
    [
        (None, TypeError, "params must be a dict"),
        ([1.0, 2.0], TypeError, "params must be a dict"),
        ({"M_BH": 1e6}, KeyError, "lacks the free parameters"),
        ("all", TypeError, "params['M_BH'] must be a real number"),  # every parameter, M_BH a string
    ],
)
def test_bad_parameter_dicts(tiny_fit, params, error, fragment):
    if params == "all":
        params = {n: tiny_fit.priors[n].ppf(0.5) for n in tiny_fit.parameters} | {"M_BH": "1e6"}
    with pytest.raises(error) as info:
        tiny_fit.log_probability(params)
    assert fragment in str(info.value)


def test_pickled_fit_is_rebuilt_once_per_process(tiny_fit):
    back = pickle.loads(pickle.dumps(tiny_fit))
    assert back is not tiny_fit and back.fingerprint == tiny_fit.fingerprint
    assert pickle.loads(pickle.dumps(tiny_fit)) is back  # cached by the fit's token
    assert back.log_likelihood(VALID) == tiny_fit.log_likelihood(VALID)


@pytest.mark.parametrize(
    "tau, previous, n, expected",
    [
        ([10.0, 20.0], [10.05, 20.1], 1001, True),
        ([10.0, 20.0], [10.05, 20.1], 1000, False),  # n must exceed 50 tau
        ([10.0, 20.0], [10.05, 20.3], 5000, False),  # tau moved by 1.5 %
        ([10.0, 20.0], None, 5000, False),  # one estimate is not stable yet
        ([10.0, np.nan], [10.0, 20.0], 5000, False),
    ],
)
def test_stopping_rule(tau, previous, n, expected):
    prev = None if previous is None else np.array(previous)
    assert autocorrelation_converged(np.array(tau), prev, n, 50.0, 0.01) is expected


def test_chain_saved_and_resumed_equals_one_run(tmp_path, demo):
    fit, truth = demo
    kw = {"n_walkers": 16, "check_every": 10, "start": truth, "seed": 3, "progress": False, "pool": None}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        one = fit.sample(max_steps=30, chain=tmp_path / "one.npz", **kw)
        fit.sample(max_steps=20, chain=tmp_path / "two.npz", **kw)
        two = fit.sample(max_steps=30, chain=tmp_path / "two.npz", resume=True, **kw)
        with pytest.raises(FileExistsError, match="resume=True"):
            fit.sample(max_steps=30, chain=tmp_path / "one.npz", **kw)
        other = TDEFit(fit.photometry, z=0.02, fixed={"beta": 1.5})
        with pytest.raises(ValueError, match="belongs to another fit"):
            other.sample(max_steps=40, chain=tmp_path / "one.npz", resume=True, **{**kw, "n_walkers": 14})
    a, b = np.load(tmp_path / "one.npz"), np.load(tmp_path / "two.npz")
    np.testing.assert_array_equal(a["chain"], b["chain"])
    assert a["chain"].shape == (30, 16, 7)
    assert two.info["n_steps"] == one.info["n_steps"] == 30 and not two.info["converged"]


def test_threads_give_the_serial_chain(demo):
    fit, truth = demo
    kw = {"n_walkers": 16, "max_steps": 8, "start": truth, "seed": 4, "progress": False}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        serial = fit.sample(pool=None, **kw)
        threads = fit.sample(pool="threads", n_workers=2, **kw)
    np.testing.assert_array_equal(serial["M_BH"], threads["M_BH"])


@pytest.mark.filterwarnings("ignore:Couldn't detect a suitable IP address:RuntimeWarning")
@pytest.mark.parametrize("pool", ["processes", "dask"])
def test_walkers_on_processes_and_dask(demo, pool):
    """The fit travels to other processes (rebuilt once each from its recipe) and gives the serial chain."""
    fit, truth = demo
    kw = {"n_walkers": 16, "max_steps": 3, "start": truth, "seed": 5, "progress": False}
    client = None
    if pool == "dask":
        distributed = pytest.importorskip("distributed")
        client = distributed.Client(processes=False, n_workers=1, threads_per_worker=2, dashboard_address=None)
        pool = client
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ConvergenceWarning)
            other = fit.sample(pool=pool, n_workers=2, **kw)
            serial = fit.sample(pool=None, **kw)
    finally:
        if client is not None:
            client.close()
    np.testing.assert_array_equal(other["M_BH"], serial["M_BH"])


def test_result_save_load_round_trip(tmp_path, tiny_fit):
    rng = np.random.default_rng(0)
    fit = TDEFit(TINY, z=0.05, priors={"spin": Normal(0.0, 0.3, -0.9, 0.9)}, fixed={"f_col": "done12"})
    u = fit._draw_prior(rng, 50)
    info = {"sampler": "emcee", "converged": False, "tau": [1.0, np.nan], "n_steps": 5}
    result = FitResult.from_coordinates(fit, u, rng.normal(size=50), info)
    result.save(tmp_path / "post.ecsv")
    back = FitResult.load(tmp_path / "post.ecsv")
    assert back.parameters == result.parameters and back.fixed == result.fixed and back.priors == result.priors
    for name in (*result.parameters, "log10_M_BH"):
        np.testing.assert_array_equal(back[name], result[name])
    np.testing.assert_array_equal(back.log_prob, result.log_prob)
    assert back.info["tau"][0] == 1.0 and math.isnan(back.info["tau"][1])
    assert back.fit.fingerprint == fit.fingerprint  # the fit is rebuilt from the file
    p = result.draws(1)[0]
    assert back.fit.log_likelihood(p) == fit.log_likelihood(p)
    table = back.summary(derived=False)
    row = table[list(table["name"]).index("log10_M_BH")]
    assert row["median"] == pytest.approx(np.median(np.log10(result["M_BH"])))
    assert row["plus"] == pytest.approx(np.quantile(np.log10(result["M_BH"]), 0.84) - row["median"])
    (tmp_path / "bad.ecsv").write_text("# %ECSV 1.0\n# ---\n# datatype:\n# - {name: a, datatype: float64}\na\n1.0\n")
    with pytest.raises(ValueError, match="not a velquor fit posterior"):
        FitResult.load(tmp_path / "bad.ecsv")
    damaged = (tmp_path / "post.ecsv").read_text().replace('"parameters"', '"parameterz"', 1)
    (tmp_path / "damaged.ecsv").write_text(damaged)
    for path, fragment in ((tmp_path / "damaged.ecsv", "damaged velquor fit posterior (KeyError"),
                           ("/dev/zero", "not a regular file"), (tmp_path, "not a regular file")):  # fmt: skip
        with pytest.raises(ValueError, match=re.escape(fragment)):
            FitResult.load(path)


def test_recovers_the_black_hole_mass_quickly(demo):
    """The quick settings of the command (a best fit and a short chain) find M_BH within 0.3 dex."""
    fit, truth = demo
    best = fit.maximize(seed=0, pool=None)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        result = fit.sample(16, max_steps=150, start=best.params, seed=0, progress=False)
    assert abs(math.log10(best.params["M_BH"]) - 6.0) < 0.3
    assert abs(result.median("log10_M_BH") - math.log10(truth["M_BH"])) < 0.3


def test_figures_have_units_on_every_axis(demo):
    pytest.importorskip("corner")
    from matplotlib.figure import Figure

    fit, truth = demo
    u = np.array([fit.to_coordinates(truth) + 1e-3 * np.random.default_rng(k).standard_normal(7) for k in range(40)])
    result = FitResult.from_coordinates(fit, u, None, {"sampler": "test"})
    fig = result.corner(Figure(), truths=truth)
    assert len(fig.axes) == 49
    labels = [ax.get_xlabel() for ax in fig.axes if ax.get_xlabel()]
    assert any("M$_\\odot$" in s for s in labels) and any("[days]" in s for s in labels)
    fig = result.plot_light_curves(Figure(), n_draws=5)
    axes = [ax for ax in fig.axes if ax.get_ylabel()]
    assert len(axes) == 2  # flux densities, X-rays
    assert all("[" in ax.get_ylabel() for ax in axes) and "[MJD]" in fig.axes[-1].get_xlabel()


def test_derived_quantities(demo):
    fit, truth = demo
    result = FitResult.from_coordinates(fit, fit.to_coordinates(truth)[None, :], None, {})
    d = result.derived()
    disk = fit.model.disk(truth)
    assert d["t_fb_days"][0] == pytest.approx(disk.t_fb / 86400.0)
    assert d["eddington_ratio"][0] == pytest.approx(d["L_peak"][0] / (1.2569e38 * 1e6 * 1.0), rel=0.2)
    assert 0 < d["M_disk_msun"][0] < 0.5


@pytest.mark.parametrize("kwargs, fragment", [({"n_live": 0}, "n_live must be an integer in [14, 100000]"),
                                               ({"n_live": 10**9}, "n_live"), ({"n_live": 40.0}, "n_live"),
                                               ({"dlogz": -1.0}, "dlogz must be > 0"), ({"dlogz": math.nan}, "dlogz")])
def test_nested_sampling_refusals(demo, kwargs, fragment):
    with pytest.raises(ValueError, match=re.escape(fragment)):  # before dynesty runs (n_live=0 ran on)
        demo[0].sample_nested(pool=None, **kwargs)


@pytest.mark.parametrize("kwargs, fragment", [({"popsize": 0}, "popsize must be an integer in [1, 1000], got 0"),
                                               ({"popsize": 10**7}, "popsize"), ({"max_generations": 0}, ">= 1")])
def test_best_fit_refusals(demo, kwargs, fragment):
    with pytest.raises(ValueError, match=re.escape(fragment)):  # popsize=10**7 would hold 7e7 members
        demo[0].maximize(pool=None, **kwargs)


def test_nested_sampling_gives_an_evidence(demo):
    pytest.importorskip("dynesty")
    fit, truth = demo
    few = TDEFit(fit.photometry, z=0.02, fixed={k: truth[k] for k in ("M_star", "beta", "alpha", "inclination", "f_sys")})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        result = few.sample_nested(n_live=25, dlogz=5.0, seed=0, pool=None)
    assert result.info["sampler"] == "dynesty" and math.isfinite(result.info["log_evidence"])
    assert result.parameters == ("M_BH", "t_disruption_mjd")
    assert abs(result.median("log10_M_BH") - 6.0) < 0.3
