"""Readers for published Rosseland-mean opacity tables.

Both readers return ``(log_T, log_R, log_kappa)``: the grid of log10 T (T in K),
the grid of log10 R (R = rho / T6**3, T6 = T / 1e6 K, rho in g cm^-3) and the
table of log10 kappa (kappa in cm^2 g^-1) with ``log_kappa[i, j]`` at
``(log_T[i], log_R[j])`` and NaN for a missing entry.  The arrays are new,
writable, C-contiguous float64 arrays, ready for
:class:`~velquor.radiation.opacity.grey_opacity.rosseland._quenby.C_QuenbyOpacity`::

    g1, g2, lk = read_opal_table("GN93hz", table=73)
    kappa = C_QuenbyOpacity(g1, g2, lk, 0)

A malformed file raises :class:`ValueError` naming the file and the line, and
so does a file larger than :data:`MAX_TABLE_BYTES` (a whole multi-table OPAL
file is about 1.2 MB).

Two tables ship with the package, with their provenance and licence notes in
``velquor/radiation/opacity/data``: :func:`packaged_table` reads them by name::

    g1, g2, lk = packaged_table("opal")      # OPAL GN93hz table #73, X = 0.70, Z = 0.02
"""

from __future__ import annotations

import os
import re
from typing import Union

import numpy as np
from numpy.typing import NDArray

__all__ = ["read_opal_table", "read_ferguson_table", "packaged_table", "PACKAGED_TABLES", "MAX_TABLE_BYTES"]

_PathLike = Union[str, "os.PathLike[str]"]
_Table = tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]

# OPAL marks entries outside the computed range with this value (or a blank).
_OPAL_FILL = 9.999
_TABLE_HEADER = re.compile(r"^\s*TABLE\s*#\s*(\d+)", re.IGNORECASE)
_TOKEN = re.compile(r"\S+")

#: Largest table file the readers accept [bytes]: a bound on the memory a path
#: can make them use (a device such as /dev/zero never ends).
MAX_TABLE_BYTES = 64 << 20

#: The tables shipped with the package, by name: "opal", OPAL table #73 of the
#: GN93hz set (X = 0.70, Y = 0.28, Z = 0.02; Iglesias & Rogers 1996), and
#: "ferguson", the Ferguson et al. (2005) low-temperature table g7.02 (same
#: composition).  Both are unedited copies; the README next to them gives their
#: provenance, checksums and licence status.
PACKAGED_TABLES = {"opal": "opal_gn93_x0.70_z0.02.txt", "ferguson": "ferguson05_gn93_x0.70_z0.02.txt"}


def _read_lines(path: _PathLike) -> list[str]:
    # latin-1 maps every byte, so a stray byte in a comment never stops the read.
    with open(path, encoding="latin-1") as f:
        text = f.read(MAX_TABLE_BYTES + 1)
    if len(text) > MAX_TABLE_BYTES:
        raise _fail(path, None, f"larger than {MAX_TABLE_BYTES} bytes, too large for an opacity table")
    return text.splitlines()


def packaged_table(name: str) -> _Table:
    """Read a table shipped with the package.

    Parameters
    ----------
    name : {"opal", "ferguson"}
        ``"opal"``: OPAL Rosseland-mean table #73 of the GN93hz set (log T 3.75
        to 8.70), read by :func:`read_opal_table`; ``"ferguson"``: the Ferguson
        et al. (2005) low-temperature table (log T 2.70 to 4.50), read by
        :func:`read_ferguson_table`.  Both for X = 0.70, Z = 0.02.

    Returns
    -------
    tuple of ndarray
        ``(log_T, log_R, log_kappa)`` as the readers return them.

    Raises
    ------
    ValueError
        An unknown name.
    """
    from importlib.resources import as_file, files

    if not isinstance(name, str) or name not in PACKAGED_TABLES:
        raise ValueError(f"unknown packaged table {name!r}; choose one of {', '.join(map(repr, PACKAGED_TABLES))}")
    resource = files("velquor.radiation.opacity").joinpath("data", PACKAGED_TABLES[name])
    with as_file(resource) as path:
        return read_opal_table(path) if name == "opal" else read_ferguson_table(path)


def _fail(path: _PathLike, lineno: int | None, what: str) -> ValueError:
    where = os.fspath(path) if lineno is None else f"{os.fspath(path)}, line {lineno}"
    return ValueError(f"{where}: {what}")


def _number(path: _PathLike, lineno: int, text: str, what: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise _fail(path, lineno, f"cannot read {what} from {text.strip()!r}") from None


def _check_increasing(path: _PathLike, values: list[float], lines: list[int], what: str) -> None:
    for k in range(1, len(values)):
        if not values[k] > values[k - 1]:
            raise _fail(path, lines[k], f"{what} {values[k]} does not increase from {values[k - 1]}")


def _as_table(log_t: list[float], log_r: list[float], rows: list[list[float]]) -> _Table:
    return (
        np.array(log_t, dtype=np.float64),
        np.array(log_r, dtype=np.float64),
        np.ascontiguousarray(np.array(rows, dtype=np.float64).reshape(len(log_t), len(log_r))),
    )


# ---------------------------------------------------------------------------
# OPAL
# ---------------------------------------------------------------------------


def _opal_blocks(lines: list[str]) -> list[tuple[int | None, int, int]]:
    """(table number, first line, end line) of every table block that has a
    ``logT`` header; summary lines such as ``Table # 1 ...`` without data are
    skipped.  A file without table headers is one unnumbered block."""
    heads = [(int(m.group(1)), k) for k, line in enumerate(lines) if (m := _TABLE_HEADER.match(line))]
    if not heads:
        return [(None, 0, len(lines))]
    blocks = []
    for n, (number, start) in enumerate(heads):
        end = heads[n + 1][1] if n + 1 < len(heads) else len(lines)
        if any(lines[k].lstrip().startswith("logT") for k in range(start, end)):
            blocks.append((number, start, end))
    return blocks


def _opal_row(path: _PathLike, lineno: int, line: str, label_ends: list[int]) -> tuple[float, list[float]]:
    """One data row: log T, then the values placed under their log R columns.

    A full row is read in order.  A shorter one (OPAL leaves blanks where a
    table is not rectangular) is placed by column: each value's last character
    sits one place right of its column label's, as in the fixed-width layout
    the tables are written in."""
    tokens = list(_TOKEN.finditer(line))
    n = len(label_ends)
    log_t = _number(path, lineno, tokens[0].group(), "log T")
    values = tokens[1:]
    if len(values) > n:
        raise _fail(path, lineno, f"{len(values)} values for {n} log R columns")
    row = [np.nan] * n
    if len(values) == n:
        columns = list(range(n))
    else:
        columns = []
        for tok in values:
            end = tok.end() - 1
            k = min(range(n), key=lambda c: abs(label_ends[c] + 1 - end))
            if abs(label_ends[k] + 1 - end) > 2 or (columns and k <= columns[-1]):
                raise _fail(path, lineno, f"cannot place the value {tok.group()!r} under a log R column")
            columns.append(k)
    for k, tok in zip(columns, values):
        v = _number(path, lineno, tok.group(), "log kappa")
        row[k] = np.nan if v == _OPAL_FILL else v
    return log_t, row


def read_opal_table(path: _PathLike, table: int | None = None) -> _Table:
    """Read one table of an OPAL Rosseland-mean opacity file.

    Parameters
    ----------
    path : str or os.PathLike
        A file in the OPAL "Type 1" layout (for example ``GN93hz``): a whole
        multi-table file or an extract holding one or more tables.  Each table is
        a ``logT`` header line with the log10 R grid, then one row per log10 T.
    table : int, optional
        The table number, as in the header line ``TABLE # 73``.  By default the
        file's first (or only) table is read.

    Returns
    -------
    log_T : ndarray of float64, shape (n1,)
        log10 T grid (T in K), strictly increasing.
    log_R : ndarray of float64, shape (n2,)
        log10 R grid, R = rho / T6**3, strictly increasing.
    log_kappa : ndarray of float64, shape (n1, n2), C-contiguous
        log10 kappa (kappa in cm^2 g^-1).  Blank trailing entries and the fill
        value 9.999 (outside the computed range) are NaN.

    Raises
    ------
    ValueError
        If the table is missing or a line cannot be read; the message names
        the file and the line.
    """
    lines = _read_lines(path)
    blocks = _opal_blocks(lines)
    if table is None:
        if not blocks:
            raise _fail(path, None, "no OPAL table (no 'logT' header line after a 'TABLE #' line)")
        chosen = blocks[0]
    else:
        found = [b for b in blocks if b[0] == int(table)]
        if not found:
            present = ", ".join(str(b[0]) for b in blocks if b[0] is not None) or "none"
            raise _fail(path, None, f"no table # {int(table)} (tables present: {present})")
        chosen = found[0]
    _, start, end = chosen
    k = next((k for k in range(start, end) if lines[k].lstrip().startswith("logT")), None)
    if k is None:
        raise _fail(path, None, "no 'logT' header line")
    header = list(_TOKEN.finditer(lines[k]))[1:]
    if not header:
        raise _fail(path, k + 1, "the logT header line lists no log R values")
    log_r = [_number(path, k + 1, tok.group(), "log R") for tok in header]
    _check_increasing(path, log_r, [k + 1] * len(log_r), "log R")
    label_ends = [tok.end() - 1 for tok in header]

    log_t: list[float] = []
    rows: list[list[float]] = []
    linenos: list[int] = []
    for k in range(k + 1, end):
        line = lines[k]
        if not line.strip():
            if rows:
                break  # the blank line after the rows ends the table
            continue
        t, row = _opal_row(path, k + 1, line, label_ends)
        log_t.append(t)
        rows.append(row)
        linenos.append(k + 1)
    if not rows:
        raise _fail(path, None, "the table has no data rows")
    _check_increasing(path, log_t, linenos, "log T")
    return _as_table(log_t, log_r, rows)


# ---------------------------------------------------------------------------
# Ferguson et al. (2005) low-temperature tables
# ---------------------------------------------------------------------------


def read_ferguson_table(path: _PathLike) -> _Table:
    """Read a Ferguson et al. (2005) low-temperature opacity table.

    Parameters
    ----------
    path : str or os.PathLike
        A table file such as ``g7.02.tron``: header lines, a ``log T`` line with
        the log10 R grid, then one row per log10 T.

    Returns
    -------
    log_T : ndarray of float64, shape (n1,)
        log10 T grid (T in K), strictly increasing (the file runs from hot to
        cool; its rows are reversed).
    log_R : ndarray of float64, shape (n2,)
        log10 R grid, R = rho / T6**3, strictly increasing.
    log_kappa : ndarray of float64, shape (n1, n2), C-contiguous
        log10 kappa (kappa in cm^2 g^-1).

    Raises
    ------
    ValueError
        If there is no ``log T`` header or a row does not hold one number per
        column; the message names the file and the line.

    Notes
    -----
    The rows are read as fixed-width fields aligned with the column labels of
    the ``log T`` line: values of -10 and below fill their field and run into
    their neighbour with no space between them (``-10.021-10.024``).
    """
    lines = _read_lines(path)
    k = next((k for k, line in enumerate(lines) if line.lstrip().startswith("log T")), None)
    if k is None:
        raise _fail(path, None, "no 'log T' header line")
    tokens = list(_TOKEN.finditer(lines[k]))[2:]  # after "log" and "T"
    if not tokens:
        raise _fail(path, k + 1, "the log T header line lists no log R values")
    log_r = [_number(path, k + 1, tok.group(), "log R") for tok in tokens]
    _check_increasing(path, log_r, [k + 1] * len(log_r), "log R")
    # Field c of a row ends where label c ends; the log T field ends where "T" does.
    ends = [lines[k].index("T", lines[k].index("log")) + 1] + [tok.end() for tok in tokens]

    log_t: list[float] = []
    rows: list[list[float]] = []
    linenos: list[int] = []
    for n in range(k + 1, len(lines)):
        line = lines[n]
        if not line.strip():
            continue
        if len(line.rstrip()) > ends[-1]:
            raise _fail(path, n + 1, f"text beyond the last column ({len(log_r)} log R columns)")
        fields = [line[a:b] for a, b in zip([0] + ends[:-1], ends)]
        if not all(f.strip() for f in fields):
            raise _fail(path, n + 1, f"the row does not hold log T and {len(log_r)} values")
        log_t.append(_number(path, n + 1, fields[0], "log T"))
        rows.append([_number(path, n + 1, f, "log kappa") for f in fields[1:]])
        linenos.append(n + 1)
    if not rows:
        raise _fail(path, None, "the table has no data rows")
    if len(log_t) > 1 and log_t[1] < log_t[0]:
        log_t, rows, linenos = log_t[::-1], rows[::-1], linenos[::-1]
    _check_increasing(path, log_t, linenos, "log T")
    return _as_table(log_t, log_r, rows)
