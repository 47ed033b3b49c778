"""Radiative opacities.

``ElectronScatteringOpacity``
    Constant electron-scattering opacity, the default of the disk closures.
``KramersOpacity``
    Kramers (bound-free + free-free) plus electron-scattering opacity with the
    solar-composition coefficient by default.

The native base classes live in :mod:`velquor.radiation.opacity.murkwell`, the
laws in :mod:`velquor.radiation.opacity.grey_opacity`.  Units are CGS.

The names are loaded on first use: the native modules bind one another at
import, and importing them eagerly here would make every submodule import
depend on all of them.
"""

from __future__ import annotations

import importlib
from typing import Any

__all__ = ["ElectronScatteringOpacity", "KramersOpacity"]

_WHERE = {
    "ElectronScatteringOpacity": "velquor.radiation.opacity._electron",
    "KramersOpacity": "velquor.radiation.opacity._kramers",
}


def __getattr__(name: str) -> Any:
    where = _WHERE.get(name)
    if where is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(where), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
