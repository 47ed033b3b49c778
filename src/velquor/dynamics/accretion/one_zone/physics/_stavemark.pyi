"""Midplane sound speed with gas and radiation pressure (native module; CGS)."""

def compute_gas_rad_cs(T: float, mu: float, Sigma: float, Omega: float) -> float:
    """c_s [cm s^-1] at T [K], mu [-], Sigma [g cm^-2], Omega [s^-1]; NaN in gives NaN out."""

__native_api__: dict[str, object]
