"""Readers for published Rosseland-mean opacity tables (OPAL, Ferguson et al. 2005)."""

import os

import numpy
import numpy.typing as npt

__all__ = ["read_opal_table", "read_ferguson_table"]

_F64 = npt.NDArray[numpy.float64]

def read_opal_table(path: str | os.PathLike[str], table: int | None = None) -> tuple[_F64, _F64, _F64]: ...
def read_ferguson_table(path: str | os.PathLike[str]) -> tuple[_F64, _F64, _F64]: ...
