from velquor.radiation.opacity._electron import ElectronScatteringOpacity as ElectronScatteringOpacity
from velquor.radiation.opacity._kramers import KramersOpacity as KramersOpacity

__all__ = ["ElectronScatteringOpacity", "KramersOpacity"]
