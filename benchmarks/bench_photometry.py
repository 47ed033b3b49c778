"""Photometry of one disk run: 120 (time, band) points in 6 bands, as a light-curve fit needs it.

Side by side in one run, on the reference disruption (1e6 M_sun, Sun-like star):

1. the run itself (``TDEDisk().run()``, adaptive integrator, 2000 output times);
2. ``Photometer.__call__`` on 120 points (20 epochs x 6 bands, z = 0.05,
   inclination 30 deg, f_col = 1.7; also with the Done et al. colour correction,
   a free host E(B-V), and with the X-ray band as a 7th channel), and the native
   call alone;
3. a plain NumPy quadrature of the same integrals: for each point, the Planck
   function of every ring on the band's own frequency samples (the same photon
   weights), summed over a fixed composite Gauss-Legendre radial grid (uniform
   panels in s = (r / R_in - 1)^(1/4) up to the temperature peak, in ln r
   beyond), refined until it agrees with itself to 1e-9.

Prints the largest relative difference between 2. and 3. (must be <= 1e-6) and
the speed-up (must be >= 10x), and the error of the host-E(B-V) grid
interpolation against exact per-sample extinction.  The machine may be shared:
compare only numbers of one run.

    python benchmarks/bench_photometry.py [--quick]
"""

import math
import sys

import numpy as np

from _timing import best_of
from velquor.observe import Photometer, bandpass
from velquor.observe._emission import _NATIVE_CONSTANTS
from velquor.tde import DAY, TDEDisk

BANDS = ["uvot_uvw2", "uvot_uvm2", "uvot_uvw1", "uvot_u", "ztf_g", "ztf_r"]
Z, INCL, F_COL = 0.05, 30.0, 1.7
QUICK = "--quick" in sys.argv
REPEATS = 5 if QUICK else 30
T4_COEF, TCAP4_COEF, H_OVER_K, TWO_H_OVER_C2, _ = _NATIVE_CONSTANTS


def numpy_band_values(run, mdot, r_out, band_index, phot, panels_in=16, panel_out=0.125):
    """The same integrals as the photometer, in plain NumPy (observed band-averaged F_nu)."""
    gx, gw = np.polynomial.legendre.leggauss(8)
    weights = [bandpass(b).photon_weights() for b in BANDS]
    pre = phot._prefactor * 2.0 * math.cos(math.radians(INCL))
    m_bh, r_in = run.M_BH, run.R_in
    out = np.empty(mdot.size)
    for i in range(mdot.size):
        t4s = T4_COEF * m_bh * mdot[i] / r_in**3
        tc4 = TCAP4_COEF * m_bh / r_in**2
        R = r_out[i] / r_in
        rp = min(49.0 / 36.0, R)
        # rising side in s, falling side in ln r: composite Gauss-Legendre
        s_edges = np.linspace(0.0, (rp - 1.0) ** 0.25, panels_in + 1)
        s = (0.5 * (s_edges[:-1, None] + s_edges[1:, None]) + 0.5 * np.diff(s_edges)[:, None] * gx).ravel()
        ws = (0.5 * np.diff(s_edges)[:, None] * gw).ravel()
        r1, w1 = 1.0 + s**4, ws * 4.0 * s**3 * (1.0 + s**4)
        n_out = max(1, math.ceil(math.log(R / rp) / panel_out)) if R > rp else 0
        u_edges = np.linspace(math.log(rp), math.log(R), n_out + 1)
        u = (0.5 * (u_edges[:-1, None] + u_edges[1:, None]) + 0.5 * np.diff(u_edges)[:, None] * gx).ravel()
        wu = (0.5 * np.diff(u_edges)[:, None] * gw).ravel()
        r = np.concatenate([r1, np.exp(u)])
        w = np.concatenate([w1, wu * np.exp(2.0 * u)])
        temp4 = np.minimum(t4s * r**-3 * (1.0 - r**-0.5), tc4 * r**-2)
        t_col = F_COL * temp4**0.25
        nu_o, q = weights[band_index[i]]
        nu = nu_o * (1.0 + Z)
        x = H_OVER_K * nu[None, :] / t_col[:, None]
        with np.errstate(over="ignore"):
            b = TWO_H_OVER_C2 * nu[None, :] ** 3 / np.expm1(x) / F_COL**4
        out[i] = pre[band_index[i]] * 4.0 * math.pi**2 * r_in**2 * (w @ b @ q)
    return out


def main():
    model = TDEDisk()
    run = model.run()
    t_run = best_of(3 if QUICK else 10, model.run)

    # 20 observed epochs from 30 to 1500 days after the disruption, 6 bands each
    t_obs = np.geomspace(max(30.0, 1.05 * run.t[0] / DAY * (1 + Z)), 1500.0, 20)
    mdot20, r20 = run.disk_state(t_obs / (1 + Z) * DAY, 1.0)
    mdot, r_out = np.repeat(mdot20, 6), np.repeat(r20, 6)
    band = np.tile(np.arange(6), 20)

    phot = Photometer(BANDS, z=Z, f_col=F_COL)
    t_build = best_of(3, lambda: Photometer(BANDS, z=Z, f_col=F_COL, d_L=phot.d_L))

    def call(p=phot, **kw):
        return p(mdot, r_out, band, M_BH=run.M_BH, R_in=run.R_in, inclination=INCL, **kw)

    fast = call()
    t_call = best_of(REPEATS * 10, call)

    from velquor.observe import _spectrum

    out = np.empty(mdot.size)
    chf = band.astype(np.float64)
    gw = phot._grid_weights(None)
    pre = phot._prefactor * 2.0 * math.cos(math.radians(INCL))

    def native():
        _spectrum.photometry(phot._coef, phot._bound, phot._grid, gw, pre, mdot, r_out, chf, run.M_BH, run.R_in,
                             F_COL, False, True, _NATIVE_CONSTANTS, out)  # fmt: skip

    t_native = best_of(REPEATS * 10, native)

    ref = numpy_band_values(run, mdot, r_out, band, phot)
    finer = numpy_band_values(run, mdot, r_out, band, phot, panels_in=32, panel_out=0.0625)
    self_err = float(np.max(np.abs(ref / finer - 1)))
    t_numpy = best_of(3 if QUICK else 5, lambda: numpy_band_values(run, mdot, r_out, band, phot))
    err = float(np.max(np.abs(fast / finer - 1)))

    done = Photometer(BANDS, z=Z, f_col="done12", d_L=phot.d_L)
    t_done = best_of(REPEATS * 10, lambda: call(done))
    with_x = Photometer(BANDS + ["xrt"], z=Z, f_col=F_COL, d_L=phot.d_L)
    band_x = np.concatenate([band, np.full(20, 6)])
    mdot_x, r_x = np.concatenate([mdot, mdot20]), np.concatenate([r_out, r20])
    t_xray = best_of(REPEATS * 10, lambda: with_x(mdot_x, r_x, band_x, M_BH=run.M_BH, R_in=run.R_in, inclination=INCL))

    # host extinction as a free parameter: cubic interpolation in E(B-V) on a 0.02 grid
    free = Photometer(BANDS, z=Z, f_col=F_COL, d_L=phot.d_L, ebv_host_max=1.0)
    t_free = best_of(REPEATS * 10, lambda: call(free, ebv_host=0.2371))
    grid_err = 0.0
    for e in (0.0123, 0.1371, 0.4459, 0.9917):
        exact = Photometer(BANDS, z=Z, f_col=F_COL, d_L=phot.d_L, ebv_host=e)
        grid_err = max(grid_err, float(np.max(np.abs(call(free, ebv_host=e) / call(exact) - 1))))

    print("Photometry of 120 (time, band) points, 6 bands, one reference run (machine shared; one run):")
    print(f"  the run itself (adaptive, 2000 outputs)      {t_run * 1e3:8.3f} ms")
    print(f"  Photometer call, f_col = 1.7                 {t_call * 1e3:8.3f} ms  ({t_call / t_run:.3f} of the run)")
    print(f"    native kernel alone                        {t_native * 1e3:8.3f} ms")
    print(f"  Photometer call, f_col = 'done12'            {t_done * 1e3:8.3f} ms")
    print(f"  Photometer call, free host E(B-V)            {t_free * 1e3:8.3f} ms")
    print(f"  with 20 X-ray (0.3-10 keV) points added      {t_xray * 1e3:8.3f} ms")
    print(f"  plain NumPy quadrature of the same integrals {t_numpy * 1e3:8.3f} ms  "
          f"-> photometer {t_numpy / t_call:.0f}x faster (native kernel {t_numpy / t_native:.0f}x)")
    print(f"  building the photometer (6 bands, once)      {t_build * 1e3:8.3f} ms")
    print(f"  largest relative difference, photometer vs NumPy: {err:.2e} "
          f"(NumPy grid converged to {self_err:.1e})")
    print(f"  host E(B-V) grid interpolation vs exact extinction: {grid_err:.2e} (E(B-V) in [0, 1])")
    ok = err <= 1e-6 and t_numpy / t_call >= 10.0
    print("  targets (<= 1e-6, >= 10x):", "met" if ok else "NOT met")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
