"""Photometry of a transient: reading, checking and converting to flux space.

One row per measurement: observed time (MJD), band, value, error, unit and an
optional upper-limit flag with its significance.  Units:

``mag``        AB magnitude (converted to flux density with
               sigma_F = 0.4 ln(10) F sigma_m);
``uJy``        flux density [microjansky], band-averaged;
``erg/s``      rest-frame nu L_nu at the band's pivot frequency, or the
               rest-frame 0.3-10 keV luminosity for band ``xrt``;
``erg/s/cm2``  observed X-ray band flux (band ``xrt``, 0.3-10 keV).

Inside, every row is a flux in one of three units (uJy, erg/s, erg/s/cm2) with
the :class:`velquor.observe.Photometer` channel that predicts it.
"""

from __future__ import annotations

import csv
import io
import math
import os
import re
import shlex
from typing import Any, Sequence

import numpy as np

__all__ = ["Photometry", "PhotometryError", "read_photometry", "UNITS", "XRAY_BAND"]

#: The units a row may be in (canonical spellings).
UNITS = ("mag", "uJy", "erg/s", "erg/s/cm2")
#: The name of the X-ray band (0.3-10 keV).
XRAY_BAND = "xrt"
_XRAY_NAMES = {"xrt", "xray", "x-ray", "x_ray", "swift_xrt", "xrt_0.3-10kev"}

# Spellings of each unit after lower-casing and removing spaces, '^' and '**'.
_UNIT_SPELLINGS = {
    "mag": ("mag", "abmag", "mag(ab)", "magab", "ab", "mag_ab"),
    "uJy": ("ujy", "µjy", "μjy", "microjansky", "microjy"),
    "erg/s": ("erg/s", "ergs-1", "erg/sec", "erg.s-1", "erg/(s)"),
    "erg/s/cm2": ("erg/s/cm2", "ergs-1cm-2", "ergcm-2s-1", "erg/(scm2)", "erg/(cm2s)", "erg/cm2/s",
                  "erg.s-1.cm-2", "erg.cm-2.s-1"),
}  # fmt: skip
_UNIT_OF = {spelling: unit for unit, spellings in _UNIT_SPELLINGS.items() for spelling in spellings}
_TRUE = {"1", "true", "t", "yes", "y"}
_FALSE = {"0", "false", "f", "no", "n", ""}

# Column names and the spellings accepted for them.
_COLUMNS = {
    "time": ("time", "mjd", "t_mjd", "time_mjd"),
    "band": ("band", "filter"),
    "value": ("value",),
    "error": ("error", "err", "uncertainty"),
    "unit": ("unit", "units"),
    "upper_limit": ("upper_limit", "upperlimit", "is_upper_limit", "limit"),
    "limit_sigma": ("limit_sigma", "limit_nsigma", "nsigma"),
}
_COLUMN_OF = {spelling: col for col, spellings in _COLUMNS.items() for spelling in spellings}
_REQUIRED = ("time", "band", "value", "error")


class PhotometryError(ValueError):
    """Bad photometry: the message names the row, column and value (or what is missing)."""


def canonical_unit(text: str) -> str | None:
    """The canonical unit of a spelling, or None."""
    key = re.sub(r"\s+|\*\*|\^", "", str(text)).lower()
    return _UNIT_OF.get(key)


def _split_units(text: str) -> list[str] | None:
    """The units named by a cell that names several (``"mag,uJy"``), or None."""
    parts = [p for p in re.split(r"[,;|&+]|\s+and\s+|\s+", str(text).strip()) if p]
    if len(parts) < 2:
        return None
    units = [canonical_unit(p) for p in parts]
    return [u for u in units if u] if sum(u is not None for u in units) >= 2 else None


def _band(name: str, cache: dict[str, str]) -> str:
    """Canonical band name: a bandpass of velquor.observe, or "xrt"."""
    if name in cache:
        return cache[name]
    if name.strip().lower() in _XRAY_NAMES:
        cache[name] = XRAY_BAND
        return XRAY_BAND
    from velquor.observe import bandpass

    try:
        canonical = bandpass(name.strip()).name
    except KeyError as exc:
        msg = exc.args[0] if exc.args else str(exc)
        raise PhotometryError(f"{msg}; or {XRAY_BAND!r} for the 0.3-10 keV X-ray band") from None
    cache[name] = canonical
    return canonical


class Photometry:
    """A light curve: one measurement per row, checked and converted to flux space.

    Parameters
    ----------
    time : array_like
        Observed times [MJD].
    band : sequence of str
        Bandpass names of :mod:`velquor.observe` (aliases accepted) or ``"xrt"``
        (0.3-10 keV).
    value : array_like
        The measurement, or the limit for an upper limit.  Negative fluxes are
        measurements and are kept.
    error : array_like
        One-sigma error in the row's unit (> 0 for a detection; ignored for an
        upper limit, where it may be NaN).
    unit : str or sequence of str
        ``"mag"`` (AB), ``"uJy"``, ``"erg/s"`` (rest-frame nu L_nu at the band's
        pivot, or the 0.3-10 keV luminosity for ``xrt``) or ``"erg/s/cm2"``
        (X-ray band flux); one for all rows or one per row.
    upper_limit : array_like of bool, optional
        True where ``value`` is an upper limit; default none.
    limit_sigma : array_like, optional
        Significance n of each upper limit (the limit is n sigma); default 3.
    source : str, optional
        Where the rows came from (a path), for messages.
    lines : sequence of int, optional
        File line of each row, for messages.

    Raises
    ------
    PhotometryError
        A bad row: the message names the row (and line), the column and the
        value.

    Attributes
    ----------
    time, value, error, limit_sigma : numpy.ndarray
        As given (float).
    band, unit : numpy.ndarray of str
        Canonical names.
    upper_limit : numpy.ndarray of bool
    flux, flux_error : numpy.ndarray
        Value and error in flux space: microjansky for ``mag`` and ``uJy`` rows,
        erg/s and erg/s/cm2 for the others; for an upper limit ``flux`` is the
        limit and ``flux_error`` the limit over its significance.
    channel : numpy.ndarray of str
        The :class:`velquor.observe.Photometer` channel predicting each row
        (``"ztf_g"``, ``"nuLnu:ztf_g"``, ``"xrt"`` or ``"Lx"``).
    flux_unit : numpy.ndarray of str
        ``"uJy"``, ``"erg/s"`` or ``"erg/s/cm2"``.
    """

    def __init__(
        self,
        time: Any,
        band: Sequence[str],
        value: Any,
        error: Any,
        unit: str | Sequence[str],
        upper_limit: Any = None,
        limit_sigma: Any = None,
        *,
        source: str | None = None,
        lines: Sequence[int] | None = None,
    ) -> None:
        self.source = source
        self._lines = None if lines is None else list(lines)
        n = len(band)
        t = self._floats("time", time, n)
        v = self._floats("value", value, n)
        e = self._floats("error", error, n)
        units = [unit] * n if isinstance(unit, str) else list(unit)
        if len(units) != n:
            raise PhotometryError(f"unit must be one string or one per row ({n}), got {len(units)}")
        ul = np.zeros(n, dtype=bool) if upper_limit is None else np.array(upper_limit, dtype=bool).reshape(-1)
        ls = np.full(n, 3.0) if limit_sigma is None else self._floats("limit_sigma", limit_sigma, n)
        if ul.size != n:
            raise PhotometryError(f"upper_limit must have one entry per row ({n}), got {ul.size}")

        cache: dict[str, str] = {}
        bands, canon_units = [], []
        for i in range(n):
            if not math.isfinite(t[i]):
                self._bad(i, "time", t[i], "must be a finite MJD")
            try:
                b = _band(str(band[i]), cache)
            except PhotometryError as exc:
                raise PhotometryError(f"{self._where(i)}, column 'band': {exc}") from None
            u = canonical_unit(units[i])
            if u is None:
                several = _split_units(units[i])
                if several:
                    self._bad(i, "unit", units[i], f"names more than one unit ({', '.join(several)}): one unit per row")
                self._bad(i, "unit", units[i], f"is not a unit: use one of {', '.join(UNITS)}")
            if b == XRAY_BAND and u in ("mag", "uJy"):
                self._bad(i, "unit", units[i], "is not an X-ray unit: band 'xrt' takes erg/s/cm2 (flux) or erg/s")
            if b != XRAY_BAND and u == "erg/s/cm2":
                self._bad(i, "unit", units[i], f"is for the X-ray band 'xrt' only (band {b!r})")
            if not math.isfinite(v[i]):
                self._bad(i, "value", v[i], "must be finite")
            if ul[i]:
                if not (math.isfinite(ls[i]) and ls[i] > 0):
                    self._bad(i, "limit_sigma", ls[i], "must be finite and > 0")
                if u != "mag" and not v[i] > 0:
                    self._bad(i, "value", v[i], "is an upper limit and must be > 0")
            elif not (math.isfinite(e[i]) and e[i] > 0):
                self._bad(i, "error", e[i], "must be finite and > 0 for a measurement")
            bands.append(b)
            canon_units.append(u)

        self.time = t
        self.band = np.array(bands, dtype=object)
        self.value = v
        self.error = e
        self.unit = np.array(canon_units, dtype=object)
        self.upper_limit = ul
        self.limit_sigma = ls
        self._to_flux_space()

    # -- construction helpers ---------------------------------------------------

    def _where(self, i: int) -> str:
        where = f"row {i + 1}"
        if self._lines is not None:
            where += f" (line {self._lines[i]})"
        return (f"{self.source}: " if self.source else "") + where

    def _bad(self, i: int, column: str, value: Any, what: str) -> None:
        if isinstance(value, np.generic):
            value = value.item()  # nan, not np.float64(nan)
        raise PhotometryError(f"{self._where(i)}, column {column!r}: {value!r} {what}")

    def _floats(self, column: str, values: Any, n: int) -> np.ndarray:
        try:
            arr = np.array(values, dtype=np.float64).reshape(-1)
        except (TypeError, ValueError):
            for i, x in enumerate(values):
                try:
                    float(x)
                except (TypeError, ValueError):
                    self._bad(i, column, x, "is not a number")
            raise PhotometryError(f"column {column!r} must hold numbers") from None
        if arr.size != n:
            raise PhotometryError(f"column {column!r} must have one entry per row ({n}), got {arr.size}")
        return arr

    def _to_flux_space(self) -> None:
        from velquor.observe import ab_flux_density

        n = len(self.band)
        flux = np.array(self.value, dtype=np.float64)
        sigma = np.array(self.error, dtype=np.float64)
        mag = self.unit == "mag"
        if mag.any():
            f = np.asarray(ab_flux_density(self.value[mag])) * 1e29  # erg/s/cm2/Hz -> uJy
            flux[mag] = f
            sigma[mag] = 0.4 * math.log(10.0) * f * self.error[mag]
        limit = self.upper_limit
        sigma[limit] = flux[limit] / self.limit_sigma[limit]
        channel, flux_unit = [], []
        for b, u in zip(self.band, self.unit):
            if u in ("mag", "uJy"):
                channel.append(b)
                flux_unit.append("uJy")
            elif u == "erg/s":
                channel.append("Lx" if b == XRAY_BAND else f"nuLnu:{b}")
                flux_unit.append("erg/s")
            else:
                channel.append("xrt")
                flux_unit.append("erg/s/cm2")
        self.flux = flux
        self.flux_error = sigma
        self.channel = np.array(channel, dtype=object) if n else np.array([], dtype=object)
        self.flux_unit = np.array(flux_unit, dtype=object) if n else np.array([], dtype=object)

    # -- properties ---------------------------------------------------------------

    def __len__(self) -> int:
        return len(self.band)

    @property
    def bands(self) -> tuple[str, ...]:
        """The distinct bands, in order of first appearance."""
        return tuple(dict.fromkeys(self.band))

    @property
    def detected(self) -> np.ndarray:
        """True for the rows that are measurements (not upper limits)."""
        return ~self.upper_limit

    @property
    def first_detection(self) -> float:
        """Time of the first measurement that is not an upper limit [MJD] (NaN without one)."""
        det = self.detected
        return float(self.time[det].min()) if det.any() else math.nan

    def check_fittable(self) -> None:
        """Refuse what cannot be fitted: no rows, one band only, or upper limits only."""
        where = f"{self.source}: " if self.source else ""
        if len(self) == 0:
            raise PhotometryError(f"{where}the light curve has no measurements")
        if not self.detected.any():
            raise PhotometryError(f"{where}every one of the {len(self)} points is an upper limit: nothing to fit")
        if len(self.bands) < 2:
            raise PhotometryError(
                f"{where}all points are in band {self.bands[0]!r}: a fit needs at least two bands (colour constrains "
                "the disk's temperature)"
            )

    def __repr__(self) -> str:
        n_lim = int(self.upper_limit.sum())
        span = f", MJD {self.time.min():.1f}-{self.time.max():.1f}" if len(self) else ""
        return f"<Photometry: {len(self)} points ({n_lim} upper limits) in {', '.join(self.bands) or 'no band'}{span}>"

    # -- tables ---------------------------------------------------------------------

    def columns(self) -> dict[str, np.ndarray]:
        """The rows as columns (time, band, value, error, unit, upper_limit, limit_sigma)."""
        return {
            "time": self.time, "band": self.band.astype(str), "value": self.value, "error": self.error,
            "unit": self.unit.astype(str), "upper_limit": self.upper_limit.astype(int), "limit_sigma": self.limit_sigma,
        }  # fmt: skip

    def select(self, rows: Any) -> Photometry:
        """A new Photometry with the rows selected by an index or boolean mask."""
        idx = np.arange(len(self))[rows]
        c = self.columns()
        return Photometry(*(c[k][idx] for k in ("time", "band", "value", "error", "unit", "upper_limit", "limit_sigma")),
                          source=self.source)  # fmt: skip

    def write(self, path: str | os.PathLike[str]) -> None:
        """Write the rows as a table :func:`read_photometry` reads: ECSV for ``.ecsv``, else CSV."""
        path = os.fspath(path)
        c = self.columns()
        if path.lower().endswith(".ecsv"):
            from astropy.table import Table

            table = Table(c)
            table["time"].description = "observed time [MJD]"
            table.write(path, format="ascii.ecsv", overwrite=True)
            return
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write("# velquor photometry: time [MJD], value/error in the row's unit; limits at limit_sigma\n")
            w = csv.writer(f, lineterminator="\n")
            w.writerow(list(c))
            for i in range(len(self)):
                w.writerow([repr(float(c["time"][i])), c["band"][i], repr(float(c["value"][i])),
                            repr(float(c["error"][i])), c["unit"][i], int(c["upper_limit"][i]),
                            repr(float(c["limit_sigma"][i]))])  # fmt: skip

    def to_dict(self) -> dict[str, list[Any]]:
        """Plain lists (JSON/YAML-safe), read back by :meth:`from_dict`."""
        return {k: [x.item() if hasattr(x, "item") else x for x in v] for k, v in self.columns().items()}

    @classmethod
    def from_dict(cls, d: dict[str, Any], source: str | None = None) -> Photometry:
        """The photometry written by :meth:`to_dict`."""
        return cls(d["time"], d["band"], d["value"], [math.nan if x is None else x for x in d["error"]], d["unit"],
                   d.get("upper_limit"), d.get("limit_sigma"), source=source)  # fmt: skip


# ---------------------------------------------------------------------------
# Reading files
# ---------------------------------------------------------------------------


def _ecsv_header(lines: list[str]) -> tuple[dict[str, Any], int]:
    """The YAML header of an ECSV file and the index of its first non-comment line."""
    import yaml

    k = 1
    while k < len(lines) and lines[k].startswith("#"):
        k += 1
    text = "\n".join(line[2:] if line.startswith("# ") else line[1:] for line in lines[1:k])
    try:
        header = yaml.safe_load(text) or {}
    except yaml.YAMLError as exc:
        raise PhotometryError(f"the ECSV header is not valid YAML: {' '.join(str(exc).split())}") from None
    if not isinstance(header, dict):
        raise PhotometryError("the ECSV header is not a mapping")
    return header, k


def _split(line: str, delimiter: str | None) -> list[str]:
    if delimiter is None:
        return shlex.split(line, posix=True)
    return next(csv.reader(io.StringIO(line), delimiter=delimiter, skipinitialspace=True))


#: Longest file :func:`read_photometry` reads [characters]: a bound on the
#: memory a path can make it use (a device such as /dev/zero never ends).
MAX_PHOTOMETRY_CHARS = 64 << 20


def read_photometry(path: str | os.PathLike[str]) -> Photometry:
    """Read a light curve from a CSV, ECSV or whitespace-separated table with a header.

    Columns (case does not matter; ``mjd`` and ``filter`` are accepted for
    ``time`` and ``band``): ``time`` (observed MJD), ``band`` (a bandpass name of
    :mod:`velquor.observe`, or ``xrt`` for the 0.3-10 keV X-ray band), ``value``,
    ``error``, ``unit`` (``mag``, ``uJy``, ``erg/s`` or ``erg/s/cm2``) and
    optionally ``upper_limit`` (0/1; the value is then the limit) and
    ``limit_sigma`` (its significance, default 3).  Lines starting with ``#``
    are comments (an ECSV header is read for its delimiter and column units).
    The unit may instead be given for a whole column, as ECSV column units or
    in the CSV header (``value [uJy]``); a row whose unit disagrees with its
    column's is refused.  Negative fluxes are measurements and are kept.

    Parameters
    ----------
    path : path-like

    Returns
    -------
    Photometry

    Raises
    ------
    PhotometryError (a ValueError)
        A missing column, a bad row (the message names the row, the file line,
        the column and the value), a file that is not a text table, or one
        longer than :data:`MAX_PHOTOMETRY_CHARS`.
    OSError
        The file cannot be opened.
    """
    path = os.fspath(path)
    try:
        with open(path, encoding="utf-8-sig") as f:
            text = f.read(MAX_PHOTOMETRY_CHARS + 1)
    except UnicodeDecodeError:
        raise PhotometryError(f"{path}: not a text table (not UTF-8)") from None
    if len(text) > MAX_PHOTOMETRY_CHARS:
        raise PhotometryError(f"{path}: longer than {MAX_PHOTOMETRY_CHARS >> 20} Mi characters, more than a light "
                              "curve (about a million rows): refused")  # fmt: skip
    lines = text.splitlines()
    column_units: dict[str, str] = {}
    delimiter: str | None = None
    start = 0
    is_ecsv = bool(lines) and lines[0].startswith("# %ECSV")
    if is_ecsv:
        header, start = _ecsv_header(lines)
        delimiter = header.get("delimiter", " ")
        delimiter = None if delimiter == " " else delimiter
        for col in header.get("datatype", []) or []:
            if isinstance(col, dict) and col.get("unit") and str(col.get("name", "")).lower() in ("value", "error"):
                column_units[str(col["name"]).lower()] = str(col["unit"])
    rows: list[tuple[int, str]] = [
        (k + 1, line) for k, line in enumerate(lines) if k >= start and line.strip() and not line.lstrip().startswith("#")
    ]
    if not rows:
        raise PhotometryError(f"{path}: the file has no header line and no rows")
    head_line, head = rows[0]
    if not is_ecsv:
        delimiter = "," if "," in head else ("\t" if "\t" in head else None)
    try:
        names = _split(head, delimiter)
    except ValueError as exc:
        raise PhotometryError(f"{path}: line {head_line}: cannot read the header: {exc}") from None
    index: dict[str, int] = {}
    for k, raw in enumerate(names):
        m = re.fullmatch(r"\s*([^\[\(]*?)\s*(?:[\[\(](.*)[\]\)])?\s*", raw)
        name = (m.group(1) if m else raw).strip().lower()
        col = _COLUMN_OF.get(name)
        if col is None:
            continue
        if col in index:
            raise PhotometryError(f"{path}: line {head_line}: column {col!r} appears twice in the header")
        index[col] = k
        if m and m.group(2) and col in ("value", "error"):
            column_units[col] = m.group(2).strip()
    missing = [c for c in _REQUIRED if c not in index]
    if "unit" not in index and "value" not in column_units:
        missing.append("unit")
    if missing:
        raise PhotometryError(
            f"{path}: missing column{'s' if len(missing) > 1 else ''} {', '.join(map(repr, missing))} "
            f"(header line {head_line}: {', '.join(names)}); the columns are time, band, value, error, unit "
            "[, upper_limit, limit_sigma]"
        )
    declared = {}
    for col, spelling in column_units.items():
        u = canonical_unit(spelling)
        if u is None:
            raise PhotometryError(f"{path}: column {col!r} has unit {spelling!r}: use one of {', '.join(UNITS)}")
        declared[col] = u
    if len(set(declared.values())) > 1:
        raise PhotometryError(
            f"{path}: mixed units: column 'value' is in {declared['value']!r} but column 'error' in "
            f"{declared['error']!r}; one unit per row"
        )

    data_rows = rows[1:]
    out: dict[str, list[Any]] = {c: [] for c in _COLUMNS}
    line_numbers = []
    for r, (line_no, line) in enumerate(data_rows):
        where = f"{path}: row {r + 1} (line {line_no})"
        try:
            fields = _split(line, delimiter)
        except ValueError as exc:
            raise PhotometryError(f"{where}: cannot split the line: {exc}") from None
        if len(fields) != len(names):
            raise PhotometryError(f"{where}: {len(fields)} fields, the header has {len(names)}")
        for col in ("time", "value", "error", "limit_sigma"):
            if col not in index:
                continue
            cell = fields[index[col]].strip()
            if col in ("error", "limit_sigma") and cell.lower() in ("", "nan", "--"):
                out[col].append(math.nan if col == "error" else 3.0)
                continue
            try:
                out[col].append(float(cell))
            except ValueError:
                raise PhotometryError(f"{where}, column {col!r}: {cell!r} is not a number") from None
        out["band"].append(fields[index["band"]].strip())
        unit_cell = fields[index["unit"]].strip() if "unit" in index else ""
        if declared:
            u = canonical_unit(unit_cell) if unit_cell else None
            row_unit = declared.get("value", declared.get("error"))
            if unit_cell and u != row_unit:
                raise PhotometryError(
                    f"{where}: mixed units in one row: column 'unit' says {unit_cell!r} but column 'value' is in "
                    f"{row_unit!r}"
                )
            unit_cell = row_unit or unit_cell
        out["unit"].append(unit_cell)
        if "upper_limit" in index:
            cell = fields[index["upper_limit"]].strip().lower()
            if cell in _TRUE:
                out["upper_limit"].append(True)
            elif cell in _FALSE:
                out["upper_limit"].append(False)
            else:
                raise PhotometryError(f"{where}, column 'upper_limit': {cell!r} is not 0/1 (or true/false)")
        line_numbers.append(line_no)
    return Photometry(
        out["time"], out["band"], out["value"], out["error"], out["unit"],
        out["upper_limit"] if "upper_limit" in index else None,
        out["limit_sigma"] if "limit_sigma" in index else None,
        source=path, lines=line_numbers,
    )  # fmt: skip
