"""Readers for published Rosseland-mean opacity tables (OPAL, Ferguson et al. 2005)."""

import os
from typing import Final

import numpy
import numpy.typing as npt

__all__ = ["read_opal_table", "read_ferguson_table", "packaged_table", "PACKAGED_TABLES", "MAX_TABLE_BYTES"]

_F64 = npt.NDArray[numpy.float64]

MAX_TABLE_BYTES: Final[int]
PACKAGED_TABLES: Final[dict[str, str]]

def read_opal_table(path: str | os.PathLike[str], table: int | None = None) -> tuple[_F64, _F64, _F64]: ...
def read_ferguson_table(path: str | os.PathLike[str]) -> tuple[_F64, _F64, _F64]: ...
def packaged_table(name: str) -> tuple[_F64, _F64, _F64]: ...
