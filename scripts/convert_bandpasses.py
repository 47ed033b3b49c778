#!/usr/bin/env python
"""Convert published bandpass curves into velquor's package data (run once, by hand).

The curves are read from the distribution files of two installable packages that
ship them as data under permissive licences (nothing of their code is used):

- speclite 1.0.0 (BSD-3-Clause): GALEX, LSST, SDSS, Pan-STARRS and Bessell curves;
- snpy 2.7.4 (SNooPy, MIT): ZTF, Swift/UVOT and ATLAS curves.

    python scripts/convert_bandpasses.py [--from DIR]

downloads both (``pip download --no-deps``) into a temporary directory, unless
``--from`` names a directory that already holds them, and writes

- ``src/velquor/observe/data/bandpasses.npz``: per curve ``<name>.wavelength``
  [Angstrom, ascending] and ``<name>.throughput`` (photon-counting, as published,
  leading and trailing zeros trimmed to one; curves sampled more finely than
  ``MAX_POINTS`` are resampled onto a uniform grid);
- ``src/velquor/observe/data/bandpasses.json``: provenance of every curve (source
  package, version, licence, file, reference, the pivot wavelength computed from
  the source curve as published) and the licence texts in ``data/licenses/``.

Only numpy is needed.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import subprocess
import sys
import tarfile
import tempfile
import zipfile

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
DATA = ROOT / "src" / "velquor" / "observe" / "data"
MAX_POINTS = 600

SPECLITE = {"package": "speclite", "version": "1.0.0", "licence": "BSD-3-Clause",
            "archive": "speclite-1.0.0-py3-none-any.whl", "licence_file": "speclite-1.0.0.dist-info/licenses/LICENSE.rst"}
SNPY = {"package": "snpy", "version": "2.7.4", "licence": "MIT",
        "archive": "snpy-2.7.4.tar.gz", "licence_file": "snpy-2.7.4/LICENSE"}

SL = "speclite/data/filters/"
SN = "snpy-2.7.4/snpy/filters/filters/"
REF = {
    "ztf": "Bellm et al. 2019, PASP 131, 018002; ZTF filter curves of the SVO Filter Profile Service "
           "(Palomar/ZTF, Rodrigo et al. 2012) as shipped by SNooPy (no atmosphere)",
    "uvot": "Swift/UVOT photon-counting responses (effective area) as shipped by SNooPy; UVOT calibration: "
            "Poole et al. 2008, MNRAS 383, 627; Breeveld et al. 2011, AIP Conf. Proc. 1358, 373",
    "galex": "Morrissey et al. 2007, ApJS 173, 682 (GALEX FUV/NUV responses as shipped by speclite)",
    "lsst": "LSST system throughput, lsst/throughputs tag 1.9 (total, airmass 1.2 reference atmosphere), "
            "as shipped by speclite ('lsst2023')",
    "sdss": "Doi et al. 2010, AJ 139, 1628, Table 4 (2.5 m telescope response through airmass 1.3), "
            "as shipped by speclite ('sdss2010')",
    "ps1": "Tonry et al. 2012, ApJ 750, 99 (Pan-STARRS1 system response incl. atmosphere), "
           "as shipped by speclite ('panstarrs')",
    "bessell": "Bessell 1990, PASP 102, 1181 (standard UBVRI passbands; not an instrument response), "
               "as shipped by speclite ('bessell')",
    "atlas": "Tonry et al. 2018, PASP 130, 064505 (ATLAS cyan = 'g+r' and orange = 'r+i'), "
             "as shipped by SNooPy (ATLAS/filter1, filter2)",
}

# canonical name: (source, file inside the archive, family)
CURVES = {
    "ztf_g": (SNPY, SN + "Palomar/ZTF/ztf_g_band.dat", "ztf"),
    "ztf_r": (SNPY, SN + "Palomar/ZTF/ztf_r_band.dat", "ztf"),
    "ztf_i": (SNPY, SN + "Palomar/ZTF/ztf_i_band.dat", "ztf"),
    "uvot_uvw2": (SNPY, SN + "Swift/UVOT/photonUVW2.dat", "uvot"),
    "uvot_uvm2": (SNPY, SN + "Swift/UVOT/photonUVM2.dat", "uvot"),
    "uvot_uvw1": (SNPY, SN + "Swift/UVOT/photonUVW1.dat", "uvot"),
    "uvot_u": (SNPY, SN + "Swift/UVOT/photonU_UVOT.dat", "uvot"),
    "uvot_b": (SNPY, SN + "Swift/UVOT/photonB_UVOT.dat", "uvot"),
    "uvot_v": (SNPY, SN + "Swift/UVOT/photonV_UVOT.dat", "uvot"),
    "galex_fuv": (SPECLITE, SL + "galex-fuv.ecsv", "galex"),
    "galex_nuv": (SPECLITE, SL + "galex-nuv.ecsv", "galex"),
    **{f"lsst_{b}": (SPECLITE, SL + f"lsst2023-{b}.ecsv", "lsst") for b in "ugrizy"},
    **{f"sdss_{b}": (SPECLITE, SL + f"sdss2010-{b}.ecsv", "sdss") for b in "ugriz"},
    **{f"ps1_{b}": (SPECLITE, SL + f"panstarrs-{b}.ecsv", "ps1") for b in "grizy"},
    **{f"bessell_{b.lower()}": (SPECLITE, SL + f"bessell-{b}.ecsv", "bessell") for b in "UBVRI"},
    "atlas_c": (SNPY, SN + "ATLAS/ATLAS/filter1", "atlas"),
    "atlas_o": (SNPY, SN + "ATLAS/ATLAS/filter2", "atlas"),
}


def pivot(wavelength: np.ndarray, throughput: np.ndarray) -> float:
    """lambda_p^2 = int T lambda dlambda / int T / lambda dlambda (trapezoid on the samples)."""
    return float(np.sqrt(np.trapezoid(throughput * wavelength, wavelength) /
                         np.trapezoid(throughput / wavelength, wavelength)))


def read_member(source: dict, member: str, where: pathlib.Path) -> str:
    path = where / source["archive"]
    if path.suffix == ".whl":
        with zipfile.ZipFile(path) as z:
            return z.read(member).decode()
    with tarfile.open(path) as t:
        f = t.extractfile(member)
        assert f is not None, member
        return f.read().decode()


def parse(text: str, member: str) -> tuple[np.ndarray, np.ndarray]:
    """Two columns (wavelength, response) of an ECSV table or a plain two-column file, in Angstrom."""
    scale = 1.0
    rows = []
    for line in text.splitlines():
        s = line.strip()
        if member.endswith(".ecsv") and s.startswith("#") and "name: wavelength" in s and "unit: nm" in s:
            scale = 10.0
        if not s or s.startswith("#") or not (s[0].isdigit() or s[0] == "."):
            continue
        rows.append([float(v) for v in s.split()[:2]])
    data = np.array(rows)
    order = np.argsort(data[:, 0], kind="stable")
    return data[order, 0] * scale, data[order, 1]


def trim_and_resample(w: np.ndarray, t: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    t = np.clip(t, 0.0, None)
    keep = np.concatenate([[True], np.diff(w) > 0])  # drop repeated wavelengths
    w, t = w[keep], t[keep]
    nz = np.flatnonzero(t > 0)
    lo, hi = max(nz[0] - 1, 0), min(nz[-1] + 1, len(w) - 1)
    w, t = w[lo:hi + 1], t[lo:hi + 1]
    if len(w) > MAX_POINTS:
        grid = np.linspace(w[0], w[-1], MAX_POINTS)
        t = np.interp(grid, w, t)
        w = grid
    return w, t / t.max()


def download(where: pathlib.Path) -> None:
    for src in (SPECLITE, SNPY):
        if not (where / src["archive"]).exists():
            subprocess.run([sys.executable, "-m", "pip", "download", "--no-deps", "-q", "-d", str(where),
                            f"{src['package']}=={src['version']}"], check=True)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--from", dest="source_dir", type=pathlib.Path, help="directory holding the two archives")
    args = ap.parse_args(argv)
    with tempfile.TemporaryDirectory() as tmp:
        where = args.source_dir or pathlib.Path(tmp)
        download(where)
        arrays: dict[str, np.ndarray] = {}
        meta = {}
        for name, (src, member, family) in CURVES.items():
            w0, t0 = parse(read_member(src, member, where), member)
            w, t = trim_and_resample(w0, t0)
            arrays[f"{name}.wavelength"] = w
            arrays[f"{name}.throughput"] = t
            meta[name] = {
                "family": family,
                "source_package": src["package"],
                "source_version": src["version"],
                "source_licence": src["licence"],
                "source_file": member.split("/", 1)[1] if member.startswith("snpy-") else member,
                "reference": REF[family],
                "approximation": False,
                "pivot_source": round(pivot(w0, np.clip(t0, 0.0, None)), 3),
                "points": int(len(w)),
            }
            print(f"{name:10s} {len(w0):5d} -> {len(w):4d} points  pivot {meta[name]['pivot_source']:9.2f} A "
                  f"(shipped {pivot(w, t):9.2f})")
        DATA.mkdir(parents=True, exist_ok=True)
        (DATA / "licenses").mkdir(exist_ok=True)
        for src in (SPECLITE, SNPY):
            text = read_member(src, src["licence_file"], where)
            (DATA / "licenses" / f"{src['package']}-{src['version']}-LICENSE.txt").write_text(text)
        np.savez_compressed(DATA / "bandpasses.npz", **arrays)
        doc = {
            "about": "Bandpass curves shipped with velquor, converted by scripts/convert_bandpasses.py. "
                     "Wavelengths in Angstrom (vacuum or air as published); throughput photon-counting, "
                     "normalised to a maximum of 1; pivot_source in Angstrom from the source curve as published.",
            "curves": meta,
        }
        (DATA / "bandpasses.json").write_text(json.dumps(doc, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
