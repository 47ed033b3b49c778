"""What a telescope sees: disk spectra, bandpasses, magnitudes and X-ray fluxes.

Plain NumPy arrays in CGS units unless a name carries another unit (wavelengths
of bandpasses in Angstrom, X-ray energies in keV, inclinations in degrees).

- :func:`disk_spectrum`, :func:`disk_luminosity`: the emission model of a
  steady thin disk (colour correction, inclination, Eddington cap);
- :func:`bandpass`, :func:`bandpass_names`, :func:`band_flux_density`: the
  bandpass curves shipped with the package and synthetic photometry;
- :func:`ab_magnitude`, :func:`ab_flux_density`, :func:`luminosity_distance`;
- :func:`dust_extinction` (Fitzpatrick 1999) and :func:`xray_cross_section`
  (Morrison & McCammon 1983);
- :class:`Photometer`: every (time, band) point of a light curve in one native
  call, the fast path of fits.

astropy (distances) and dust_extinction (dust) are imported when first needed:
``pip install 'velquor[observe]'``.
"""

from velquor.observe._bandpass import (
    AB_ZERO_POINT,
    Bandpass,
    ab_flux_density,
    ab_magnitude,
    band_flux_density,
    bandpass,
    bandpass_names,
)
from velquor.observe._emission import (
    ANGSTROM_CGS,
    H_PLANCK_CGS,
    JANSKY_CGS,
    KEV_CGS,
    colour_correction,
    disk_luminosity,
    disk_spectrum,
    eddington_luminosity,
)
from velquor.observe._photometer import MPC_CGS, Photometer, dust_extinction, luminosity_distance, xray_cross_section

__all__ = [
    "AB_ZERO_POINT",
    "ANGSTROM_CGS",
    "Bandpass",
    "H_PLANCK_CGS",
    "JANSKY_CGS",
    "KEV_CGS",
    "MPC_CGS",
    "Photometer",
    "ab_flux_density",
    "ab_magnitude",
    "band_flux_density",
    "bandpass",
    "bandpass_names",
    "colour_correction",
    "disk_luminosity",
    "disk_spectrum",
    "dust_extinction",
    "eddington_luminosity",
    "luminosity_distance",
    "xray_cross_section",
]
