"""Kramers plus electron-scattering opacity with textbook coefficients."""

from __future__ import annotations

from velquor.radiation.opacity._electron import KAPPA_ES
from velquor.radiation.opacity.grey_opacity.rosseland._plumtree import C_PlumtreeOpacity

__all__ = ["KRAMERS_KAPPA0", "KramersOpacity"]

#: Kramers coefficient of bound-free plus free-free absorption in gas of solar
#: composition [cm^5 g^-2 K^3.5] (Frank, King & Raine, *Accretion Power in
#: Astrophysics*).
KRAMERS_KAPPA0 = 5e24


class KramersOpacity(C_PlumtreeOpacity):
    """Kramers (bound-free + free-free) plus electron-scattering opacity.

    ``kappa(rho, T) = kappa_es + kappa0 * rho * T**-3.5`` with ``rho`` in
    g cm^-3, ``T`` in K and ``kappa`` in cm^2 g^-1.

    Parameters
    ----------
    kappa0 : float, optional
        Kramers coefficient [cm^5 g^-2 K^3.5]; the default 5e24 is the value
        for gas of solar composition.
    kappa_es : float, optional
        Electron-scattering opacity [cm^2 g^-1]; default 0.34, i.e.
        0.2 (1 + X) with hydrogen mass fraction X = 0.70.

    Notes
    -----
    A thin subclass of :class:`C_PlumtreeOpacity`: every method, the native
    operations and the refusal to pickle are inherited.
    """

    __slots__ = ()

    def __new__(cls, kappa0: float = KRAMERS_KAPPA0, kappa_es: float = KAPPA_ES) -> KramersOpacity:
        return super().__new__(cls, kappa0, kappa_es)
