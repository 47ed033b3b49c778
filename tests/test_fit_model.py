"""The fit's model: the disk at chosen times, no disk before t_fb, free dust and colour against
fixed ones, the early blackbody against independent band averages, synthetic noise, and the
sampler's plumbing refusals."""

import math
import warnings

import numpy as np
import pytest

pytest.importorskip("velquor.observe")
pytest.importorskip("scipy")

from velquor.fit import ConvergenceWarning, TDEFit, synthetic_light_curve  # noqa: E402
from velquor.fit._model import LightCurveModel, blackbody_luminosity  # noqa: E402
from velquor.tde import DAY, TDEDisk  # noqa: E402


@pytest.fixture(scope="module")
def demo():
    phot, truth = synthetic_light_curve(seed=3)
    return phot, truth


def test_run_at_chosen_times_is_the_dense_output():
    disk = TDEDisk(M_BH=1e6, rtol=1e-8)
    t = disk.t_fb * np.array([1.0, 1.5, 3.0, 10.0, 30.0])
    run = disk.run(t_eval=t)
    np.testing.assert_array_equal(run.t, t)
    assert run.completed and run.t_end == t[-1]
    ref = TDEDisk(M_BH=1e6, rtol=1e-8, n_out=4000, t_end_days=t[-1] / DAY * (1 + 1e-9)).run()
    for row in ("M", "R", "Mdot_acc"):
        expected = np.exp(np.interp(np.log(t[1:]), np.log(ref.t), np.log(getattr(ref, row))))
        np.testing.assert_allclose(getattr(run, row)[1:], expected, rtol=2e-4)
    with pytest.raises(ValueError, match="t_eval needs the adaptive integrator"):
        TDEDisk(integrator="euler").run(t_eval=t)


@pytest.mark.parametrize(
    "t_eval, error, fragment",
    [
        ([3.0, 2.0, 4.0], ValueError, "increasing order, got t_eval[1] = "),
        ([], ValueError, "non-empty"),
        ([2.0, math.nan], ValueError, "t_eval must be finite, got t_eval[1] = nan"),  # was "t_end (nan) must be"
        ([1.0], ValueError, "must end after the run's start"),
        ("soon", TypeError, "t_eval must be an array of times"),
        (np.linspace(2.0, 3.0, 10**7), ValueError, "len(t_eval)=10000000 asks for a result of 1.49 GiB"),
    ],
)
def test_run_at_chosen_times_refusals(t_eval, error, fragment):
    disk = TDEDisk(M_BH=1e6)
    t_eval = np.asarray(t_eval) * disk.t_fb if not isinstance(t_eval, str) else t_eval
    with pytest.raises(error) as info:
        disk.run(t_eval=t_eval)
    assert fragment in str(info.value)


def test_no_disk_before_the_fallback_time(demo):
    """Epochs before t_fb (rest frame) have zero disk flux; the blackbody alone shines there."""
    phot, truth = demo
    fit = TDEFit(phot, z=0.02)
    p = dict(truth)
    t_fb_obs = fit.model.disk(p).t_fb / DAY * 1.02
    p["t_disruption_mjd"] = phot.first_detection - 0.5 * t_fb_obs  # the first epochs come before t_fb
    flux = fit.model_flux(p)
    early = (phot.time - p["t_disruption_mjd"]) < t_fb_obs
    assert early.any() and (~early).any()
    assert np.all(flux[early] == 0.0) and np.all(flux[~early & (phot.band != "xrt")] > 0)
    bb = TDEFit(phot, z=0.02, blackbody=True)
    q = {**p, "bb_L_peak": 1e43, "bb_t_peak_days": 10.0, "bb_sigma_days": 5.0, "bb_tau_days": 30.0, "bb_p": 5 / 3,
         "bb_T": 3e4}  # fmt: skip
    assert np.all(bb.model_flux(q)[early & (phot.band != "xrt")] > 0)
    assert math.isfinite(bb.log_likelihood(q))


@pytest.mark.parametrize("name, value, prior", [("ebv_host", 0.13, (0.0, 0.5)), ("f_col", 1.7, (1.0, 3.0)),
                                                 ("R_out_factor", 2.0, (0.5, 5.0))])  # fmt: skip
def test_a_freed_parameter_equals_the_fixed_one(demo, name, value, prior):
    """Free host dust (tabulated in E(B-V)), colour correction or outer radius give the fixed model's fluxes."""
    phot, truth = demo
    free = TDEFit(phot, z=0.02, priors={name: prior})
    fixed = TDEFit(phot, z=0.02, fixed={name: value})
    p = {**truth, name: value}
    a, b = free.model_flux(p), fixed.model_flux(p)
    np.testing.assert_allclose(a, b, rtol=1e-6, atol=0)
    assert np.any(np.abs(b / TDEFit(phot, z=0.02).model_flux(truth) - 1) > 0.01)  # the parameter matters


def test_prediction_at_the_data_equals_the_model_flux(demo):
    phot, truth = demo
    fit = TDEFit(phot, z=0.02)
    np.testing.assert_array_equal(fit.predict(truth, phot.time, phot.channel.astype(str)), fit.model_flux(truth))
    assert np.all(np.isnan(fit.predict({**truth, "M_BH": 1e9}, phot.time[:3], "ztf_g")))  # direct capture


def test_blackbody_light_curve_shape():
    p = {"bb_L_peak": 2e44, "bb_t_peak_days": 30.0, "bb_sigma_days": 10.0, "bb_tau_days": 40.0, "bb_p": 5 / 3}
    t = np.array([-1.0, 10.0, 30.0, 70.0, 30.0 + 40.0 * 7.0])
    lum = blackbody_luminosity(p, t)
    assert lum[0] == 0.0 and lum[2] == 2e44
    assert lum[1] == pytest.approx(2e44 * math.exp(-2.0))
    assert lum[3] == pytest.approx(2e44 * 2.0 ** (-5 / 3)) and lum[4] == pytest.approx(2e44 * 8.0 ** (-5 / 3))


@pytest.mark.parametrize("channel", ["ztf_g", "uvot_uvw2", "nuLnu:ztf_r", "xrt"])
def test_blackbody_photometry_against_band_averages(channel):
    """The blackbody's band values against velquor.observe's band average of a sampled Planck spectrum."""
    from velquor.observe import H_PLANCK_CGS, KEV_CGS, band_flux_density, bandpass

    z, d_l, temp = 0.05, 7e26, 4e4
    model = LightCurveModel([channel], z=z, d_L=d_l, blackbody=True)
    p = {"bb_L_peak": 1e44, "bb_t_peak_days": 5.0, "bb_sigma_days": 3.0, "bb_tau_days": 20.0, "bb_p": 1.5,
         "bb_T": temp}  # fmt: skip
    got = model._bb(p, np.array([5.0]), np.array([0]), 0.0)[0]

    def l_nu(nu):  # rest frame, erg/s/Hz
        x = H_PLANCK_CGS * nu / (1.380649e-16 * temp)
        with np.errstate(over="ignore"):
            b = 2 * H_PLANCK_CGS * nu**3 / 2.99792458e10**2 / np.expm1(x)
        return 1e44 * math.pi * b / (5.670374419e-5 * temp**4)

    if channel == "xrt":
        from scipy.integrate import quad

        nu1, nu2 = 0.3 * KEV_CGS / H_PLANCK_CGS, 10 * KEV_CGS / H_PLANCK_CGS
        expected = (1 + z) * quad(lambda nu: l_nu(nu * (1 + z)), nu1, nu2, limit=200)[0] / (4 * math.pi * d_l**2)
        assert got == pytest.approx(expected, rel=1e-6, abs=1e-300)
        return
    bp = bandpass(channel.split(":")[-1])
    if channel.startswith("nuLnu:"):
        nu = bp.pivot_frequency
        assert got == pytest.approx(nu * float(l_nu(np.array([nu]))[0]), rel=1e-12)
        return
    nu_o = np.geomspace(2.99792458e18 / bp.wavelength[-1] * 0.99, 2.99792458e18 / bp.wavelength[0] * 1.01, 4000)
    f_nu = (1 + z) * l_nu(nu_o * (1 + z)) / (4 * math.pi * d_l**2)
    assert got == pytest.approx(band_flux_density(bp, nu_o, f_nu), rel=1e-5)


def test_synthetic_noise_and_limits():
    """Detections scatter by their errors about the model; limits sit at 3 floor-sigmas."""
    phot, truth = synthetic_light_curve(n_points=700, seed=11, span_days=300.0)
    fit = TDEFit(phot, z=0.02)
    model = fit.model_flux(truth)
    det = phot.detected & (phot.unit != "mag")  # magnitudes are not Gaussian in flux
    pulls = (phot.flux[det] - model[det]) / phot.flux_error[det]
    assert abs(np.mean(pulls)) < 0.15 and 0.85 < np.std(pulls) < 1.15
    assert set(phot.unit) == {"mag", "uJy", "erg/s/cm2"} and phot.upper_limit.any()
    assert np.all(model[phot.upper_limit] < 6 * phot.flux_error[phot.upper_limit])
    assert len(phot) == 700 and phot.bands[-1] == "xrt"


@pytest.mark.parametrize(
    "kwargs, error, fragment",
    [
        ({"pool": "gpu"}, ValueError, "pool must be"),
        ({"pool": 3}, TypeError, "pool must be"),
        ({"n_workers": 0}, ValueError, "n_workers"),
        ({"n_walkers": 15}, ValueError, "even integer >= 16"),
        ({"n_walkers": 10}, ValueError, "even integer >= 16"),
        ({"max_steps": 0}, ValueError, "max_steps"),
        ({"max_steps": 10**9}, ValueError, "keeps a chain of 954 GiB in memory"),  # refused, not grown into
        ({"thin": 0}, ValueError, "thin must be an integer >= 1, got 0"),  # was "slice step cannot be zero"
        ({"burn": -5}, ValueError, "burn must be"),
        ({"tau_factor": -1.0}, ValueError, "tau_factor must be > 0"),
        ({"tau_rtol": math.nan}, ValueError, "tau_rtol must be finite"),
        ({"start": "middle"}, ValueError, "start must be"),
        ({"start": np.zeros((3, 7))}, ValueError, "start must have shape"),
        ({"resume": True}, FileNotFoundError, "needs an existing chain file"),
    ],
)
def test_sampler_refusals(demo, kwargs, error, fragment):
    phot, truth = demo
    fit = TDEFit(phot, z=0.02)
    with pytest.raises(error) as info:
        fit.sample(**{"max_steps": 2, "progress": False, "start": truth, "pool": None, **kwargs})
    assert fragment in str(info.value)


def test_chain_file_that_is_not_ours(tmp_path, demo):
    phot, truth = demo
    fit = TDEFit(phot, z=0.02)
    np.savez(tmp_path / "other.npz", x=np.zeros(3))
    (tmp_path / "junk.npz").write_bytes(b"not a zip")
    for name, fragment in (("other.npz", "not a velquor chain file"), ("junk.npz", "cannot read the chain file")):
        with pytest.raises(ValueError, match=fragment):
            fit.sample(16, max_steps=2, chain=tmp_path / name, resume=True, progress=False, pool=None)


def test_progress_without_tqdm(demo, monkeypatch, capsys):
    import builtins

    real_import = builtins.__import__

    def no_tqdm(name, *args, **kwargs):
        if name.startswith("tqdm"):
            raise ImportError(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", no_tqdm)
    phot, truth = demo
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        TDEFit(phot, z=0.02).sample(16, max_steps=5, check_every=5, start=truth, pool=None, progress=True)
    err = capsys.readouterr().err
    assert "sampling: 5/5 steps (tau" in err


@pytest.mark.parametrize(
    "make, fragment",
    [
        (lambda: __import__("velquor.fit", fromlist=["Uniform"]).Uniform(2.0, 2.0), "lo < hi"),
        (lambda: __import__("velquor.fit", fromlist=["LogUniform"]).LogUniform(0.0, 2.0), "lo > 0"),
        (lambda: __import__("velquor.fit", fromlist=["Normal"]).Normal(0.0, -1.0), "sigma > 0"),
        (lambda: __import__("velquor.fit", fromlist=["Normal"]).Normal(0.0, 1.0, 50.0, 60.0), "no probability"),
        (lambda: __import__("velquor.fit", fromlist=["Sine"]).Sine(-10.0, 90.0), "0 <= lo < hi <= 180"),
        (lambda: __import__("velquor.fit", fromlist=["Uniform"]).Uniform(0.0, math.inf), "finite"),
    ],
)
def test_prior_refusals(make, fragment):
    with pytest.raises(ValueError, match=fragment):
        make()


def test_maximize_says_when_nothing_is_possible(demo):
    phot, _ = demo
    fit = TDEFit(phot, z=0.02, priors={"M_BH": (1e9, 1e10)})  # every draw is a direct capture
    with pytest.raises(RuntimeError, match="points of the prior box gives a finite posterior density"):
        fit.maximize(pool=None)


@pytest.mark.parametrize(
    "med, minus, plus, text",
    [
        (6.0412, 0.0361, 0.0433, "6.041 -0.036 +0.043"),
        (59000.123, 2.5, 3.1, "59000.1 -2.5 +3.1"),
        (1.3e6, 1.35e5, 1.83e5, "1.30e+06 -1.4e+05 +1.8e+05"),
        (2.0, 0.0, 0.0, "2 -0 +0"),
        (0.0052, 0.0039, 0.0063, "0.0052 -0.0039 +0.0063"),
        (1.3372, 0.11, 0.08, "1.337 -0.110 +0.080"),  # both errors to the place the finer one needs
        (1234.5, 250.0, 310.0, "1234 -250 +310"),
    ],
)
def test_summary_numbers_keep_the_digits_their_errors_resolve(med, minus, plus, text):
    from velquor.fit._result import _fmt_pm

    assert _fmt_pm(med, minus, plus) == text


def test_result_lookups(demo):
    from velquor.fit import FitResult

    phot, truth = demo
    fit = TDEFit(phot, z=0.02)
    u = np.array([fit.to_coordinates(truth)] * 3)
    result = FitResult.from_coordinates(fit, u, np.array([1.0, 3.0, 2.0]), {})
    np.testing.assert_array_equal(result["spin"], [0.0, 0.0, 0.0])  # fixed: its value for every sample
    assert result["log10_M_BH"][0] == pytest.approx(6.0) and "log10_alpha" in result.samples
    assert result.best["M_BH"] == pytest.approx(1e6) and result.best["spin"] == 0.0
    with pytest.raises(KeyError, match="no samples of 'bb_T'"):
        result["bb_T"]
    with pytest.raises(KeyError, match="not positive"):
        result["log10_spin"]
    assert "M_disk_msun" not in result
    result.derived(n_draws=2)
    assert result["M_disk_msun"].shape == (2,) and "M_disk_msun" in result


@pytest.mark.parametrize(
    "kwargs, fragment",
    [
        ({"time": [1.0]}, "column 'time' must have one entry per row (2), got 1"),
        ({"unit": ["mag"]}, "unit must be one string or one per row (2), got 1"),
        ({"upper_limit": [True]}, "upper_limit must have one entry per row (2), got 1"),
        ({"value": ["19", "x"]}, "row 2, column 'value': 'x' is not a number"),
    ],
)
def test_photometry_refusals_in_python(kwargs, fragment):
    from velquor.fit import Photometry, PhotometryError

    args = {"time": [1.0, 2.0], "band": ["ztf_g", "ztf_r"], "value": [19.0, 19.5], "error": [0.1, 0.1],
            "unit": "mag", **kwargs}  # fmt: skip
    with pytest.raises(PhotometryError) as info:
        Photometry(**args)
    assert fragment in str(info.value)
