"""Viscous rates and step size of the one-zone disk (native module; viscous_derivative_func)."""

__native_api__: dict[str, object]
