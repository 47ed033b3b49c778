"""The opacity tables shipped inside the package: unedited, found without a path,
and used by ``opacity="opal"`` and ``velquor --opacity opal``."""

import hashlib
import re
from importlib.resources import as_file, files

import numpy as np
import pytest

from velquor.radiation.opacity import tables
from velquor.radiation.opacity.tables import PACKAGED_TABLES, packaged_table, read_ferguson_table, read_opal_table
from velquor.tde import DiskRun, TDEDisk

DATA = files("velquor.radiation.opacity").joinpath("data")


def test_installed_tables_are_byte_for_byte_the_published_files():
    # The provenance note lists size and sha256 of each file; an edited,
    # re-encoded or line-ending-converted copy fails here.
    readme = DATA.joinpath("README.md").read_text(encoding="utf-8")
    listed = dict(
        (name, (int(size), digest))
        for name, size, digest in re.findall(r"\| `([\w.]+\.txt)` \| (\d+) \| `([0-9a-f]{64})` \|", readme)
    )
    assert set(listed) == set(PACKAGED_TABLES.values())
    for name, (size, digest) in listed.items():
        blob = DATA.joinpath(name).read_bytes()
        assert (len(blob), hashlib.sha256(blob).hexdigest()) == (size, digest)
    assert "Licence" in DATA.joinpath("NOTICE.md").read_text(encoding="utf-8")


@pytest.mark.parametrize("name, reader", [("opal", read_opal_table), ("ferguson", read_ferguson_table)])
def test_packaged_table_reads_the_shipped_file(name, reader):
    with as_file(DATA.joinpath(PACKAGED_TABLES[name])) as path:
        expected = reader(path)
    for got, want in zip(packaged_table(name), expected):
        np.testing.assert_array_equal(got, want)
    with pytest.raises(ValueError, match="unknown packaged table 'gn93'"):
        packaged_table("gn93")


def test_opal_by_name_is_the_shipped_table_in_clamp_mode():
    with as_file(DATA.joinpath(PACKAGED_TABLES["opal"])) as path:
        by_path = TDEDisk(opal_table=path, t_end_days=2e4).run()
    disk = TDEDisk(opacity="opal", t_end_days=2e4)
    by_name = disk.run()
    np.testing.assert_array_equal(by_name.data, by_path.data)
    assert disk.opacity_name == "opal" and disk.params["opacity"] == "opal"
    np.testing.assert_array_equal(TDEDisk(**disk.params).run().data, by_name.data)
    # Two models do not share (or alter) each other's table.
    assert TDEDisk(opacity="opal").opacity is not disk.opacity
    assert by_name.completed and by_name.tau[0] > TDEDisk(t_end_days=2e4).run().tau[0]
    # Neither the electron-scattering temperature limit nor its law applies.
    assert all(r.condition != "T_eff < 1e4 K" for r in by_name.validity())


def test_opal_on_the_command_line(tmp_path, monkeypatch, capsys):
    from velquor.cli import main

    monkeypatch.chdir(tmp_path)
    assert main(["--opacity", "opal", "--t-end", "2e4", "--no-plot", "--npz", "run.npz", "--no-csv", "-q"]) == 0
    expected = TDEDisk(opacity="opal", t_end_days=2e4).run()
    np.testing.assert_array_equal(DiskRun.load_npz(tmp_path / "run.npz").data, expected.data)


def test_an_oversized_file_is_refused_before_it_is_read_whole(tmp_path, monkeypatch):
    monkeypatch.setattr(tables, "MAX_TABLE_BYTES", 4096)
    big = tmp_path / "big.txt"
    big.write_text("x" * 4097)
    for reader in (read_opal_table, read_ferguson_table):
        with pytest.raises(ValueError, match=r"big\.txt: larger than"):
            reader(big)
    with pytest.raises(ValueError, match="too large for an opacity table"):
        TDEDisk(opal_table=big)
