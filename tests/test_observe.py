"""velquor.observe: the emission model's oracles, bandpasses, photometry and its refusals."""

import json
import math
import socket
from importlib import resources

import numpy as np
import pytest

from velquor.dynamics.accretion.one_zone.closure import G_CGS
from velquor.observe import (
    H_PLANCK_CGS,
    KEV_CGS,
    Photometer,
    ab_flux_density,
    ab_magnitude,
    band_flux_density,
    bandpass,
    colour_correction,
    bandpass_names,
    disk_luminosity,
    disk_spectrum,
    dust_extinction,
    eddington_luminosity,
    luminosity_distance,
    xray_cross_section,
)
from velquor.tde import C_CGS, M_SUN, YEAR, DiskRun, TDEDisk

M_BH = 1e6 * M_SUN
R_IN = 6.0 * G_CGS * M_BH / C_CGS**2
MDOT = 1e-2 * M_SUN / YEAR  # the reference rate of the orders of magnitude
NU = np.geomspace(1e11, 1e20, 3000)


def bolometric(L, nu=NU):
    return np.trapezoid(L * nu, np.log(nu), axis=-1)


# ---------------------------------------------------------------------------
# The emission model
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("f_col", [1.0, 1.7, "done12"])
@pytest.mark.parametrize("ratio", [1.2, 30.0, 1e4])
def test_bolometric_integral_is_the_closed_form(f_col, ratio):
    L = disk_spectrum(NU, MDOT, M_BH, R_IN, ratio * R_IN, f_col=f_col)
    x = 1.0 / ratio
    closed = 1.5 * G_CGS * M_BH * MDOT / R_IN * (1 / 3 - x + 2 / 3 * x**1.5)
    assert bolometric(L) == pytest.approx(closed, rel=1e-4)
    assert disk_luminosity(MDOT, M_BH, R_IN, ratio * R_IN) == pytest.approx(closed, rel=1e-12)


def test_reference_orders_of_magnitude():
    # T* = 7.1e5 K, peak T = 0.488 T*: nu L_nu peaks in the far UV; L_bol ~ Mdot c^2 / 12 ~ 5e43 erg/s
    L = disk_spectrum(NU, MDOT, M_BH, R_IN, 1e3 * R_IN)
    assert 4e43 < bolometric(L) < 5.5e43
    assert 5e15 < NU[np.argmax(NU * L)] < 1e17


def test_spectral_regimes():
    L = disk_spectrum(NU[NU < 1e17], MDOT, M_BH, R_IN, 1e6 * R_IN)
    slope = np.gradient(np.log(NU[NU < 1e17] * L), np.log(NU[NU < 1e17]))
    t_out = (3 * G_CGS * M_BH * MDOT / (8 * math.pi * 5.670374419e-5 * (1e6 * R_IN) ** 3)) ** 0.25
    nu_out = 1.380649e-16 * t_out / H_PLANCK_CGS
    nu = NU[NU < 1e17]
    mid = (nu > 100 * nu_out) & (nu < 1e14)  # between the outer turn-over and the inner Wien cut-off
    np.testing.assert_allclose(slope[mid], 4 / 3, atol=0.02)
    low = nu < nu_out / 100  # Rayleigh-Jeans of the whole disk: L_nu ~ nu^2
    np.testing.assert_allclose(slope[low] - 1, 2.0, atol=1e-3)


def test_inclination_gives_two_cos_i():
    L = disk_spectrum(NU[::50], MDOT, M_BH, R_IN, 50 * R_IN)
    for i in (0.0, 30.0, 60.0, 85.0, 90.0):
        Li = disk_spectrum(NU[::50], MDOT, M_BH, R_IN, 50 * R_IN, inclination=i)
        np.testing.assert_allclose(Li, 2 * math.cos(math.radians(i)) * L, rtol=1e-14, atol=0)


def test_eddington_cap():
    l_edd = eddington_luminosity(M_BH)
    assert l_edd == pytest.approx(1.47e44 * M_BH / (1e6 * M_SUN), rel=0.01)
    mdot_edd = l_edd / (0.1 * C_CGS**2)
    mdot = 100 * mdot_edd
    r_sph = 3 * G_CGS * M_BH * mdot / (2 * l_edd)
    L = disk_spectrum(NU, mdot, M_BH, R_IN, 1e5 * R_IN)
    assert bolometric(L) == pytest.approx(l_edd * (1 + math.log(r_sph / R_IN)), rel=0.05)
    assert bolometric(L) == pytest.approx(disk_luminosity(mdot, M_BH, R_IN, 1e5 * R_IN), rel=1e-4)
    # below Eddington the cap changes nothing
    sub = 0.1 * mdot_edd
    np.testing.assert_array_equal(
        disk_spectrum(NU[::30], sub, M_BH, R_IN, 1e3 * R_IN),
        disk_spectrum(NU[::30], sub, M_BH, R_IN, 1e3 * R_IN, eddington_limited=False),
    )


def test_array_rates_give_rows_and_either_frequency_order():
    mdot = MDOT * np.array([0.1, 1.0, 10.0])
    rows = disk_spectrum(NU[::100], mdot, M_BH, R_IN, 40 * R_IN)
    assert rows.shape == (3, NU[::100].size)
    for k in range(3):
        np.testing.assert_array_equal(rows[k], disk_spectrum(NU[::100], mdot[k], M_BH, R_IN, 40 * R_IN))
    descending = NU[::-100]
    np.testing.assert_array_equal(disk_spectrum(descending, MDOT, M_BH, R_IN, 40 * R_IN)[::-1],
                                  disk_spectrum(descending[::-1], MDOT, M_BH, R_IN, 40 * R_IN))  # fmt: skip


# ---------------------------------------------------------------------------
# Bandpasses and synthetic photometry
# ---------------------------------------------------------------------------


EXPECTED_BANDS = (
    "ztf_g ztf_r ztf_i uvot_uvw2 uvot_uvm2 uvot_uvw1 uvot_u uvot_b uvot_v galex_fuv galex_nuv "
    "lsst_u lsst_g lsst_r lsst_i lsst_z lsst_y sdss_u sdss_g sdss_r sdss_i sdss_z "
    "ps1_g ps1_r ps1_i ps1_z ps1_y bessell_u bessell_b bessell_v bessell_r bessell_i atlas_c atlas_o"
).split()


def test_every_listed_band_ships_with_provenance():
    assert sorted(bandpass_names()) == sorted(EXPECTED_BANDS)
    data = resources.files("velquor.observe") / "data"
    meta = json.loads((data / "bandpasses.json").read_text())["curves"]
    for name in bandpass_names():
        bp = bandpass(name)
        p = meta[name]
        assert {"source_package", "source_version", "source_licence", "reference", "source_file"} <= set(p)
        assert (data / "licenses" / f"{p['source_package']}-{p['source_version']}-LICENSE.txt").is_file()
        assert np.all(np.diff(bp.wavelength) > 0) and bp.throughput.max() == 1.0
        # the shipped curve keeps the pivot of the published one
        assert bp.pivot_wavelength == pytest.approx(p["pivot_source"], rel=5e-3)
        assert bp.wavelength[0] < bp.pivot_wavelength < bp.wavelength[-1]


@pytest.mark.parametrize(
    "alias, name",
    [("UVW1", "uvot_uvw1"), ("ZTF_g", "ztf_g"), ("ztfg", "ztf_g"), ("Swift UVM2", "uvot_uvm2"),
     ("GALEX-NUV", "galex_nuv"), ("PanSTARRS_z", "ps1_z"), ("atlas_orange", "atlas_o"), ("BESSELL_V", "bessell_v")],
)  # fmt: skip
def test_lookup_is_case_insensitive_with_aliases(alias, name):
    assert bandpass(alias).name == name


def test_unknown_band_lists_close_matches():
    with pytest.raises(KeyError, match="ztf_q.*ztf_g"):
        bandpass("ztf_q")
    with pytest.raises(TypeError, match="band"):
        bandpass(3)


def test_flat_3631_jy_is_ab_zero_in_every_band():
    nu = np.geomspace(1e13, 1e17, 50)
    for name in bandpass_names():
        f = band_flux_density(name, nu, np.full(nu.size, 3631e-23))
        assert ab_magnitude(f) == pytest.approx(0.0, abs=1e-12)
    assert ab_flux_density(ab_magnitude(1e-27)) == pytest.approx(1e-27, rel=1e-14)


@pytest.mark.parametrize("name", ["galex_fuv", "uvot_uvw2", "sdss_u", "ztf_r", "lsst_y", "bessell_b"])
@pytest.mark.parametrize("alpha", [-2.0, 1 / 3, 2.0])
def test_band_average_of_power_law_against_independent_quadrature(name, alpha):
    from scipy.integrate import quad

    bp = bandpass(name)
    w, t = bp.wavelength, bp.throughput
    lam_cm = lambda lam: lam * 1e-8  # noqa: E731
    num = sum(quad(lambda lam: np.interp(lam, w, t) * (C_CGS / lam_cm(lam)) ** alpha / lam, a, b)[0]
              for a, b in zip(w[:-1], w[1:]))  # fmt: skip
    den = sum(quad(lambda lam: np.interp(lam, w, t) / lam, a, b)[0] for a, b in zip(w[:-1], w[1:]))
    nu = np.geomspace(C_CGS / lam_cm(w[-1]) / 1.01, C_CGS / lam_cm(w[0]) * 1.01, 300)
    got = band_flux_density(bp, nu[::-1], nu[::-1] ** alpha)
    assert got == pytest.approx(num / den, rel=1e-5)


def test_band_average_refuses_a_spectrum_that_misses_the_band():
    with pytest.raises(ValueError, match="does not cover band 'ztf_g'"):
        band_flux_density("ztf_g", np.geomspace(1e15, 1e16, 10), np.ones(10))
    with pytest.raises(ValueError, match="f_nu"):
        band_flux_density("ztf_g", np.geomspace(1e14, 1e16, 10), np.ones(9))


# ---------------------------------------------------------------------------
# The photometer against direct quadrature of the same integrals
# ---------------------------------------------------------------------------


def direct_band(name, mdot, r_out, z, d_l, incl, f_col, ext=None):
    nu_o, q = bandpass(name).photon_weights()
    if ext is not None:
        q = q * ext(C_CGS / nu_o * 1e8)
    L = disk_spectrum(nu_o * (1 + z), mdot, M_BH, R_IN, r_out, f_col=f_col, inclination=incl)
    return (1 + z) * (L @ q) / (4 * math.pi * d_l**2)


STATES = (MDOT * np.array([1e-3, 0.05, 1.0, 30.0, 3e3]), R_IN * np.array([1.3, 4.0, 60.0, 700.0, 3e4]))


@pytest.mark.parametrize("f_col", [1.0, 2.0, "done12"])
def test_photometer_equals_direct_quadrature(f_col):
    bands = ["galex_fuv", "uvot_uvw1", "ztf_g", "lsst_y"]
    z, d_l = 0.08, 1.1e27
    phot = Photometer(bands + ["xrt", "nuLnu:uvot_uvw2", "Lx"], z=z, d_L=d_l, f_col=f_col, N_H=3e20)
    mdot, r_out = STATES
    for k, name in enumerate(bands):
        got = phot(mdot, r_out, k, M_BH=M_BH, R_in=R_IN, inclination=40.0)
        np.testing.assert_allclose(got, direct_band(name, mdot, r_out, z, d_l, 40.0, f_col), rtol=1e-6)
    # X-rays: absorbed observed band flux and unabsorbed rest-frame luminosity (fine direct quadrature)
    e = np.geomspace(0.3, 10.0, 20001)
    L = disk_spectrum(e * KEV_CGS / H_PLANCK_CGS * (1 + z), mdot, M_BH, R_IN, r_out, f_col=f_col)
    absorbed = L * np.exp(-3e20 * xray_cross_section(e))
    flux = (1 + z) * np.trapezoid(absorbed, e * KEV_CGS / H_PLANCK_CGS) / (4 * math.pi * d_l**2)
    np.testing.assert_allclose(phot(mdot, r_out, 4, M_BH=M_BH, R_in=R_IN), flux, rtol=1e-5)
    lx = np.trapezoid(disk_spectrum(e * KEV_CGS / H_PLANCK_CGS, mdot, M_BH, R_IN, r_out, f_col=f_col),
                      e * KEV_CGS / H_PLANCK_CGS)  # fmt: skip
    np.testing.assert_allclose(phot(mdot, r_out, 6, M_BH=M_BH, R_in=R_IN), lx, rtol=1e-5)
    nu_p = bandpass("uvot_uvw2").pivot_frequency
    mono = nu_p * disk_spectrum([nu_p], mdot, M_BH, R_IN, r_out, f_col=f_col)[:, 0]
    np.testing.assert_allclose(phot(mdot, r_out, 5, M_BH=M_BH, R_in=R_IN), mono, rtol=1e-6)


@pytest.mark.parametrize("n_h", [1e24, 1e30])
def test_thick_columns_absorb_instead_of_failing(n_h):
    # a column that absorbs (nearly) every photon is a tiny or zero flux, not a table that "vanishes"
    mdot, r_out = STATES
    got = Photometer(["xrt"], z=0.08, N_H=n_h)(mdot, r_out, 0, M_BH=M_BH, R_in=R_IN)
    thin = Photometer(["xrt"], z=0.08, N_H=1e20)(mdot, r_out, 0, M_BH=M_BH, R_in=R_IN)
    assert np.all(got >= 0) and np.all(got < 1e-3 * thin)
    assert (n_h < 1e25) == bool(np.all(got > 0))


def test_constant_colour_correction_may_change_per_call():
    phot = Photometer(["uvot_uvm2"], d_L=1e27)
    mdot, r_out = STATES
    got = phot(mdot, r_out, 0, M_BH=M_BH, R_in=R_IN, f_col=2.4)
    np.testing.assert_allclose(got, direct_band("uvot_uvm2", mdot, r_out, 0.0, 1e27, None, 2.4), rtol=1e-6)
    with pytest.raises(ValueError, match="done12"):
        Photometer(["ztf_g"], d_L=1e27, f_col="done12")(mdot, r_out, 0, M_BH=M_BH, R_in=R_IN, f_col=1.5)


def test_dust_exact_and_on_the_host_grid():
    pytest.importorskip("dust_extinction")
    z, d_l = 0.1, 1.4e27
    mdot, r_out = STATES
    for name in ("uvot_uvw2", "ztf_r"):

        def ext(lam, e_host=0.3):
            return 10 ** (-0.4 * (dust_extinction(lam, 0.05) + dust_extinction(lam / (1 + z), e_host)))

        exact = Photometer([name], z=z, d_L=d_l, ebv_mw=0.05, ebv_host=0.3)
        want = direct_band(name, mdot, r_out, z, d_l, None, 1.0, ext)
        np.testing.assert_allclose(exact(mdot, r_out, 0, M_BH=M_BH, R_in=R_IN), want, rtol=1e-6)
        free = Photometer([name], z=z, d_L=d_l, ebv_mw=0.05, ebv_host_max=0.6)
        got = free(mdot, r_out, 0, M_BH=M_BH, R_in=R_IN, ebv_host=0.3)  # on a grid node
        np.testing.assert_allclose(got, want, rtol=1e-6)
        between = free(mdot, r_out, 0, M_BH=M_BH, R_in=R_IN, ebv_host=0.3137)
        want = direct_band(name, mdot, r_out, z, d_l, None, 1.0, lambda lam: ext(lam, 0.3137))
        np.testing.assert_allclose(between, want, rtol=1e-5)
        with pytest.raises(ValueError, match="ebv_host"):
            free(mdot, r_out, 0, M_BH=M_BH, R_in=R_IN, ebv_host=0.7)
        with pytest.raises(ValueError, match="ebv_host_max"):
            exact(mdot, r_out, 0, M_BH=M_BH, R_in=R_IN, ebv_host=0.2)
    assert dust_extinction(5495.0, 1.0) == pytest.approx(3.1, abs=0.1)  # A_V / E(B-V) = R_V
    with pytest.raises(ValueError, match="Angstrom"):
        dust_extinction(500.0, 0.1)


def test_xray_cross_section_and_distance():
    assert xray_cross_section(1.0) == pytest.approx((120.6 + 169.3 - 47.7) * 1e-24)
    assert luminosity_distance(0.0) == 0.0
    pytest.importorskip("astropy")
    assert luminosity_distance(0.05) == pytest.approx(7.1e26, rel=0.03)  # about 230 Mpc


# ---------------------------------------------------------------------------
# Refusals
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, words",
    [
        (dict(nu=[1e15, -1.0]), ["nu", "-1.0"]),
        (dict(nu=[np.nan]), ["nu", "nan"]),
        (dict(Mdot=-3.0), ["Mdot", "-3.0"]),
        (dict(Mdot=[1e24, np.nan]), ["Mdot", "nan"]),
        (dict(M_BH=0.0), ["M_BH", "0.0"]),
        (dict(R_in=np.inf), ["R_in", "inf"]),
        (dict(R_out=R_IN), ["R_out", "R_in"]),
        (dict(R_out=[2 * R_IN, 0.5 * R_IN]), ["R_out", repr(0.5 * R_IN)]),
        (dict(f_col=0.9), ["f_col", "0.9"]),
        (dict(f_col="done13"), ["f_col", "done13"]),
        (dict(inclination=91.0), ["inclination", "91.0"]),
        (dict(Mdot=[1e24, 2e24], R_out=[2 * R_IN] * 3), ["Mdot", "R_out"]),
        (dict(nu=np.full(20_000, 1e15), Mdot=np.full(10_000, 1e24), R_out=np.full(10_000, 10 * R_IN)),
         ["10000 disk states x 20000 frequencies", "1.49 GiB", "MAX_RESULT_BYTES"]),  # refused before allocating
    ],
)
def test_spectrum_refuses_bad_input(kwargs, words):
    args = dict(nu=[1e15], Mdot=1e24, M_BH=M_BH, R_in=R_IN, R_out=10 * R_IN) | kwargs
    with pytest.raises(ValueError) as info:
        disk_spectrum(args.pop("nu"), args.pop("Mdot"), args.pop("M_BH"), args.pop("R_in"), args.pop("R_out"), **args)
    for w in words:
        assert w in str(info.value)


@pytest.mark.parametrize(
    "kwargs, error, words",
    [
        (dict(channels=["ztf_x"]), KeyError, ["ztf_x"]),
        (dict(z=-0.1), ValueError, ["z", "-0.1"]),
        (dict(z=0.0), ValueError, ["distance"]),
        (dict(d_L=-1.0), ValueError, ["d_L", "-1.0"]),
        (dict(N_H=-5.0), ValueError, ["N_H", "-5.0"]),
        (dict(xray_band=(2.0, 1.0)), ValueError, ["xray_band"]),
        (dict(channels="ztf_g"), ValueError, ["channels"]),
    ],
)
def test_photometer_refuses_bad_setup(kwargs, error, words):
    args = dict(channels=["ztf_g", "xrt"], z=0.05) | kwargs
    with pytest.raises(error) as info:
        Photometer(args.pop("channels"), **args)
    for w in words:
        assert w in str(info.value)


def test_photometer_refuses_bad_points_and_the_kernel_checks_too():
    from velquor.observe import _spectrum

    phot = Photometer(["ztf_g"], d_L=1e27)
    with pytest.raises(ValueError, match=r"channel must be in \[0, 0\], got 1"):
        phot([1e24], [1e13], [1], M_BH=M_BH, R_in=R_IN)
    with pytest.raises(TypeError, match="channel"):
        phot([1e24], [1e13], [0.5], M_BH=M_BH, R_in=R_IN)
    # the native kernel refuses what the wrapper would (called directly, without the lock held)
    out = np.empty(2)
    args = [phot._coef, phot._bound, phot._grid, np.array([0.0, 1.0]), phot._prefactor, np.array([1e24, -1.0]),
            np.array([1e13, 1e13]), np.zeros(2), M_BH, R_IN, 1.0, False, True,
            np.array([1.0, 1.0, 1.0, 1.0, 1.0]), out]  # fmt: skip
    with pytest.raises(ValueError, match=r"Mdot\[1\] must be finite and > 0, got -1"):
        _spectrum.photometry(*args)
    args[5] = np.array([1e24, 1e24])
    args[6] = np.array([1e13, 1e10])
    with pytest.raises(ValueError, match=r"R_out\[1\]"):
        _spectrum.photometry(*args)
    args[6] = np.array([1e13, 1e13])
    args[1] = np.zeros(3)
    with pytest.raises(ValueError, match="bound must hold"):
        _spectrum.photometry(*args)


# ---------------------------------------------------------------------------
# On a run
# ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def run():
    return TDEDisk(t_end_days=3e4, n_out=200).run()


def test_run_luminosity_is_the_integral_of_its_spectrum(run):
    cols = [0, run.i_peak, run.n - 1]
    L = run.spectrum(NU, run.t[cols])
    np.testing.assert_allclose(bolometric(L), run.L[cols], rtol=1e-4)
    assert run.eta is None and run.efficiency == pytest.approx(1 / 12, rel=1e-12)
    explicit = DiskRun(run.data, M_BH=run.M_BH, R_in=run.R_in, eta=0.1)
    np.testing.assert_allclose(explicit.L, 0.1 * run.Mdot_acc * C_CGS**2, rtol=1e-15)


def test_run_light_curves(run):
    t = run.t[[3, run.i_peak]]
    g = run.band_light_curve("ZTF_g", t, z=0.05, unit="uJy", inclination=30.0)
    want = direct_band("ztf_g", run.Mdot_acc[[3, run.i_peak]], run.R[[3, run.i_peak]], 0.05,
                       luminosity_distance(0.05), 30.0, 1.0) / 1e-29  # fmt: skip
    np.testing.assert_allclose(g, want, rtol=1e-6)
    mag = run.band_light_curve("ztf_g", t, z=0.05, inclination=30.0)
    np.testing.assert_allclose(mag, -2.5 * np.log10(g * 1e-29 / 3631e-23), rtol=1e-12)
    mdot, r_out = run.disk_state(t, R_out_factor=2.0)
    np.testing.assert_allclose(mdot, run.Mdot_acc[[3, run.i_peak]], rtol=1e-12)
    np.testing.assert_allclose(r_out, 2.0 * run.R[[3, run.i_peak]], rtol=1e-12)
    nulnu = run.band_light_curve("uvw1", unit="nuLnu")
    assert nulnu.shape == (run.n,) and np.all(nulnu > 0)
    fx = run.xray_flux(z=0.05)
    lx = run.xray_luminosity()
    assert np.all(fx >= 0) and np.all(lx >= 0) and lx.max() > 0
    with pytest.raises(ValueError, match="unit.*'Jy'"):
        run.band_light_curve("ztf_g", z=0.05, unit="Jy")
    with pytest.raises(ValueError, match="distance"):
        run.band_light_curve("ztf_g")
    with pytest.raises(ValueError, match=r"t must be times in"):
        run.band_light_curve("ztf_g", [1.0], z=0.05)


def test_cli_bands(tmp_path, monkeypatch, capsys):
    pytest.importorskip("matplotlib")
    pytest.importorskip("astropy")
    from velquor.cli import main

    monkeypatch.chdir(tmp_path)
    assert main(["--bands", "ztf_g,UVW1,xrt", "--z", "0.05", "--t-end", "2e4", "--n-out", "100"]) == 0
    out = capsys.readouterr().out
    assert "peak ztf_g" in out and "peak uvot_uvw1" in out and "peak xrt" in out
    assert {p.name for p in tmp_path.iterdir()} >= {"velquor_lc.png", "velquor_spectrum.png", "velquor_tde.csv"}
    header = next(line for line in (tmp_path / "velquor_tde.csv").read_text().splitlines() if line[0] != "#")
    assert header.endswith("t_obs [d],ztf_g [AB mag],uvot_uvw1 [AB mag],xrt [erg s^-1 cm^-2]")
    assert main(["--bands", "ztf_q", "--z", "0.05"]) == 2
    assert "ztf_q" in capsys.readouterr().err
    for bad, words in [(["--z", "-1"], "--z"), (["--f-col", "hot"], "--f-col"), (["--f-col", "0.5"], "f_col"),
                       (["--inclination", "95"], "inclination"), (["--d-l", "0"], "--d-l")]:  # fmt: skip
        assert main(["--bands", "ztf_g", *bad]) == 2
        assert words in capsys.readouterr().err


def test_no_network_in_the_suite():
    with pytest.raises(PermissionError, match="network access refused"):
        socket.create_connection(("192.0.2.1", 80), timeout=0.1)


# ---------------------------------------------------------------------------
# Against an independent brute-force quadrature (every branch of the radial rule)
# ---------------------------------------------------------------------------

SIGMA_SB, K_B = 5.670374419e-5, 1.380649e-16


def brute_spectrum(nu, mdot, r_out, f_col=1.0, capped=True, n=400001):
    """L_nu by Simpson's rule on a dense uniform grid in s = (r / R_in - 1)^(1/4), in plain NumPy."""
    from scipy.integrate import simpson

    with np.errstate(all="ignore"):  # the rings next to R_in are at T ~ 0
        return _brute(nu, mdot, r_out, f_col, capped, n)


def _brute(nu, mdot, r_out, f_col, capped, n):
    from scipy.integrate import simpson

    s = np.linspace(0.0, (r_out / R_IN - 1.0) ** 0.25, n)[1:]
    r = R_IN * (1.0 + s**4)
    flux = 3 * G_CGS * M_BH * mdot / (8 * math.pi * r**3) * (1 - np.sqrt(R_IN / r))
    if capped:
        flux = np.minimum(flux, eddington_luminosity(M_BH) / (4 * math.pi * r**2))
    t = (flux / SIGMA_SB) ** 0.25
    if f_col == "done12":
        t = np.maximum(t, 1e-300)
        f = np.where(t < 3e4, 1.0, np.where(t <= 1e5, (t / 3e4) ** 0.82, (72 * KEV_CGS / K_B / t) ** (1 / 9)))
    else:
        f = np.full_like(t, f_col)
    out = []
    for v in np.atleast_1d(nu):
        x = H_PLANCK_CGS * v / (K_B * f * t)
        with np.errstate(over="ignore"):
            b = 2 * H_PLANCK_CGS * v**3 / C_CGS**2 / np.expm1(x) / f**4
        out.append(4 * math.pi**2 * simpson(b * r * R_IN * 4 * s**3, x=s))
    return np.array(out)


@pytest.mark.parametrize(
    "mdot_edd, ratio, f_col, rtol",
    [
        (1e-3, 1.01, 1.0, 1e-7),  # disk narrower than the temperature peak
        (0.2, 1.3, 1.0, 1e-7),
        (0.2, 500.0, 1.7, 1e-7),
        (0.2, 500.0, "done12", 2e-5),  # kink at 3e4 K and jump at 1e5 K inside the disk
        (30.0, 500.0, 1.0, 2e-5),  # capped annulus, kinks at its edges
        (30.0, 50.0, "done12", 2e-5),  # outer edge inside the capped annulus
        (3e3, 1e4, 1.0, 2e-5),  # capped from close to R_in
    ],
)
def test_spectrum_against_brute_force(mdot_edd, ratio, f_col, rtol):
    mdot = mdot_edd * eddington_luminosity(M_BH) / (0.1 * C_CGS**2)
    nu = np.array([3e14, 3e15, 3e16, 2e17])
    got = disk_spectrum(nu, mdot, M_BH, R_IN, ratio * R_IN, f_col=f_col)
    want = brute_spectrum(nu, mdot, ratio * R_IN, f_col)
    keep = want > 1e-30 * want.max()  # values beyond double range relative to the peak mean nothing
    np.testing.assert_allclose(got[keep], want[keep], rtol=rtol)


def test_deep_wien_tail_of_a_cool_disk():
    # a faint late-time disk seen in X-rays: all the flux from a narrow ring at the temperature peak
    mdot = 1e-4 * MDOT
    nu = np.array([3e16, 7e16, 2.4e17])
    got = disk_spectrum(nu, mdot, M_BH, R_IN, 300 * R_IN)
    want = brute_spectrum(nu, mdot, 300 * R_IN)
    assert (got > 0).all()
    np.testing.assert_allclose(got, want, rtol=1e-6)


@pytest.mark.parametrize("ratio", [1.001, 1.2, 2.0, 300.0, 3e4])
@pytest.mark.parametrize("mdot_edd", [0.5, 7.0, 40.0, 2e3])
def test_capped_luminosity_closed_form_against_quadrature(ratio, mdot_edd):
    from scipy.integrate import quad

    l_edd = eddington_luminosity(M_BH)
    mdot = mdot_edd * l_edd / (0.1 * C_CGS**2)

    def per_r(x):  # both faces, 2 pi r dr, r = x R_in
        thin = 3 * G_CGS * M_BH * mdot / (8 * math.pi * (x * R_IN) ** 3) * (1 - x**-0.5)
        return 4 * math.pi * x * R_IN**2 * min(thin, l_edd / (4 * math.pi * (x * R_IN) ** 2))

    edges = np.geomspace(1.0, ratio, 200)
    want = sum(quad(per_r, a, b, epsabs=0, epsrel=1e-12, limit=200)[0] for a, b in zip(edges[:-1], edges[1:]))
    assert disk_luminosity(mdot, M_BH, R_IN, ratio * R_IN) == pytest.approx(want, rel=1e-8)


def test_colour_correction_rule():
    t = np.array([1e4, 3e4, 5e4, 1e5 * (1 - 1e-12), 1e5 * (1 + 1e-12), 1e6])
    f = colour_correction(t, "done12")
    assert f[0] == f[1] == 1.0
    assert f[2] == pytest.approx((5 / 3) ** 0.82)
    assert f[3] == pytest.approx((10 / 3) ** 0.82) and f[4] == pytest.approx((72 * KEV_CGS / K_B / 1e5) ** (1 / 9))
    assert abs(f[4] / f[3] - 1) < 0.03  # the published rule is nearly, not exactly, continuous at 1e5 K
    np.testing.assert_array_equal(colour_correction(t, 1.7), 1.7)


def test_photometer_from_threads_equals_serial(start_thread):
    phot = Photometer(["ztf_g", "uvot_uvw2", "xrt"], d_L=1e27, f_col=1.5)
    rng = np.random.default_rng(5)
    mdot = MDOT * 10 ** rng.uniform(-3, 2, 600)
    r_out = R_IN * 10 ** rng.uniform(0.1, 4, 600)
    ch = rng.integers(0, 3, 600)
    serial = phot(mdot, r_out, ch, M_BH=M_BH, R_in=R_IN, inclination=20)
    started = [start_thread(phot, mdot, r_out, ch, M_BH=M_BH, R_in=R_IN, inclination=20) for _ in range(3)]
    for thread, out in started:
        thread.join()
        np.testing.assert_array_equal(out["result"], serial)


def test_photometer_channel_names():
    phot = Photometer(["UVW1", "nuLnu:ZTF_g", "X-ray", "Lx"], d_L=1e27)
    assert phot.channels == ("uvot_uvw1", "nuLnu:ztf_g", "xrt", "Lx")
    assert phot.units == ("erg s^-1 cm^-2 Hz^-1", "erg s^-1", "erg s^-1 cm^-2", "erg s^-1")
    assert phot.channel_index("uvot_uvw1") == 0 and phot.channel_index("nulnu:ztfg") == 1
    with pytest.raises(KeyError, match="ztf_r.*has: uvot_uvw1"):
        phot.channel_index("ztf_r")
    # rest-frame channels need no distance
    assert Photometer(["nuLnu:ztf_g", "Lx"]).channels == ("nuLnu:ztf_g", "Lx")
    with pytest.raises(ValueError, match="0.03 keV"):
        Photometer(["xrt"], d_L=1e27, N_H=1e21, xray_band=(0.01, 2.0))


def test_band_average_of_several_spectra_and_of_signed_ones():
    nu = np.geomspace(1e14, 1e16, 400)
    two = band_flux_density("sdss_g", nu, np.stack([np.ones_like(nu), 2 * np.ones_like(nu)]))
    np.testing.assert_allclose(two, [1.0, 2.0], rtol=1e-14)
    assert band_flux_density("sdss_g", nu, np.full(nu.size, -3.0)) == pytest.approx(-3.0, rel=1e-14)
    with pytest.raises(ValueError, match="f_nu must be finite"):
        band_flux_density("sdss_g", nu, np.full(nu.size, np.nan))
    with pytest.raises(ValueError, match="AB magnitude"):
        ab_magnitude(-1e-28)


def test_bandpass_refuses_bad_curves():
    from velquor.observe import Bandpass

    with pytest.raises(ValueError, match="ascend"):
        Bandpass("mine", [4000.0, 3000.0], [1.0, 1.0])
    with pytest.raises(ValueError, match="positive somewhere"):
        Bandpass("mine", [3000.0, 4000.0], [0.0, 0.0])
    flat = Bandpass("mine", [3000.0, 4000.0], [1.0, 1.0])
    assert flat.pivot_wavelength == pytest.approx(math.sqrt((4000**2 - 3000**2) / 2 / math.log(4 / 3)))


def test_run_records_which_luminosity_it_reports(tmp_path, run):
    run.save_npz(tmp_path / "r.npz")
    assert DiskRun.load_npz(tmp_path / "r.npz").eta is None
    run.save_csv(tmp_path / "r.csv", extra={"twice t [s]": 2 * run.t})
    text = (tmp_path / "r.csv").read_text()
    assert "L = integral of the disk spectrum" in text and text.splitlines()[5].endswith(",twice t [s]")
    with pytest.raises(ValueError, match="extra column 'bad'"):
        run.save_csv(tmp_path / "r.csv", extra={"bad": [1.0]})
    assert TDEDisk(eta=0.1).eta == 0.1 and TDEDisk().eta is None
