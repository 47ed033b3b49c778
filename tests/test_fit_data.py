"""Reading light curves: every unit and format, upper limits and their significance, and bad
rows named by row, line, column and value."""

import math

import numpy as np
import pytest

pytest.importorskip("velquor.observe")
pytest.importorskip("astropy")

from velquor.fit import Photometry, PhotometryError, read_photometry  # noqa: E402

HEADER = "time,band,value,error,unit,upper_limit,limit_sigma"
ROWS = [
    "59000.5,ztf_g,19.0,0.1,mag,0,",
    "59001.5,UVW1,120.0,6.0,uJy,0,",
    "59002.5,uvot_uvw2,-4.0,5.0,uJy,0,",  # a negative flux is a measurement
    "59003.5,ztf_r,1.5e43,1e42,erg/s,0,",
    "59004.5,xrt,2e-13,3e-14,erg/s/cm2,0,",
    "59005.5,XRT,1e42,2e41,erg/s,0,",
    "59006.5,ztf_r,20.5,,mag,1,",  # a limit at the default 3 sigma
    "59007.5,xrt,1e-14,,erg/s/cm2,1,5",
]


def write(tmp_path, lines, name="lc.csv"):
    path = tmp_path / name
    path.write_text("\n".join(lines) + "\n")
    return path


def test_every_unit_converted_to_flux_space(tmp_path):
    phot = read_photometry(write(tmp_path, ["# a comment", HEADER, *ROWS]))
    assert len(phot) == 8
    assert list(phot.band) == ["ztf_g", "uvot_uvw1", "uvot_uvw2", "ztf_r", "xrt", "xrt", "ztf_r", "xrt"]
    assert list(phot.channel) == ["ztf_g", "uvot_uvw1", "uvot_uvw2", "nuLnu:ztf_r", "xrt", "Lx", "ztf_r", "xrt"]
    assert list(phot.flux_unit) == ["uJy", "uJy", "uJy", "erg/s", "erg/s/cm2", "erg/s", "uJy", "erg/s/cm2"]
    f_mag = 3631e6 * 10 ** (-0.4 * 19.0)  # microjansky
    assert phot.flux[0] == pytest.approx(f_mag, rel=1e-12)
    assert phot.flux_error[0] == pytest.approx(0.4 * math.log(10) * f_mag * 0.1, rel=1e-12)
    np.testing.assert_array_equal(phot.flux[1:6], [120.0, -4.0, 1.5e43, 2e-13, 1e42])
    np.testing.assert_array_equal(phot.flux_error[1:6], [6.0, 5.0, 1e42, 3e-14, 2e41])
    # limits: the value is the limit U, and sigma = U / n
    u_mag = 3631e6 * 10 ** (-0.4 * 20.5)
    assert phot.upper_limit.tolist() == [False] * 6 + [True, True]
    assert phot.flux[6] == pytest.approx(u_mag) and phot.flux_error[6] == pytest.approx(u_mag / 3)
    assert phot.flux[7] == 1e-14 and phot.flux_error[7] == pytest.approx(1e-14 / 5)
    assert phot.first_detection == 59000.5


@pytest.mark.parametrize("fmt", ["whitespace", "tabs", "ecsv", "written-csv", "written-ecsv"])
def test_formats_read_alike(tmp_path, fmt):
    ref = read_photometry(write(tmp_path, [HEADER, *ROWS]))
    if fmt in ("whitespace", "tabs"):
        # empty cells become nan (error) and 3 (limit_sigma); columns aligned with runs of blanks
        cells = [[c or ("3" if k == 6 else "nan") for k, c in enumerate(line.split(","))] for line in [HEADER, *ROWS]]
        sep = "   " if fmt == "whitespace" else "\t"
        path = write(tmp_path, ["# comment", *(sep.join(row) for row in cells)], "lc.txt")
    elif fmt == "ecsv":
        from astropy.table import Table

        c = ref.columns()
        Table(c).write(tmp_path / "lc.ecsv", format="ascii.ecsv", delimiter=",")
        path = tmp_path / "lc.ecsv"
    else:
        path = tmp_path / ("lc.ecsv" if fmt == "written-ecsv" else "lc.csv")
        ref.write(path)
    phot = read_photometry(path)
    np.testing.assert_array_equal(phot.flux, ref.flux)
    np.testing.assert_array_equal(phot.flux_error, ref.flux_error)
    assert list(phot.channel) == list(ref.channel)
    assert phot.upper_limit.tolist() == ref.upper_limit.tolist()


def test_units_of_a_whole_column(tmp_path):
    """A unit in the header (CSV "value [uJy]" or ECSV column units) stands for the unit column."""
    phot = read_photometry(write(tmp_path, ["time,band,value [uJy],error [uJy]", "1,ztf_g,10,1", "2,ztf_r,20,2"]))
    assert list(phot.unit) == ["uJy", "uJy"]
    from astropy.table import Table

    t = Table({"time": [1.0, 2.0], "band": ["ztf_g", "ztf_r"], "value": [19.0, 19.5], "error": [0.1, 0.1]})
    t["value"].unit = t["error"].unit = "mag"
    t.write(tmp_path / "u.ecsv", format="ascii.ecsv")
    assert list(read_photometry(tmp_path / "u.ecsv").unit) == ["mag", "mag"]


@pytest.mark.parametrize(
    "row, fragments",
    [
        ("59000.5,ztf_q,19,0.1,mag,0,", ["row 2 (line 4)", "'band'", "ztf_q", "did you mean 'ztf_r', 'ztf_i', 'ztf_g'?"]),
        ("abc,ztf_g,19,0.1,mag,0,", ["row 2 (line 4)", "'time'", "'abc'", "not a number"]),
        ("59000.5,ztf_g,19,x,mag,0,", ["'error'", "'x'"]),
        ("59000.5,ztf_g,19,0.1,furlong,0,", ["'unit'", "'furlong'", "mag, uJy, erg/s, erg/s/cm2"]),
        ("59000.5,ztf_g,19,0.1,\"mag,uJy\",0,", ["'unit'", "more than one unit", "one unit per row"]),
        ("59000.5,xrt,19,0.1,mag,0,", ["'unit'", "not an X-ray unit"]),
        ("59000.5,ztf_g,1e-13,1e-14,erg/s/cm2,0,", ["'unit'", "'xrt' only"]),
        ("59000.5,ztf_g,19,0,mag,0,", ["'error'", "0.0", "> 0 for a measurement"]),
        ("59000.5,ztf_g,nan,0.1,mag,0,", ["'value': nan must be finite"]),
        ("59000.5,ztf_g,-3,,uJy,1,", ["'value'", "-3.0", "upper limit"]),
        ("59000.5,ztf_g,20,,mag,1,0", ["'limit_sigma'", "0.0"]),
        ("59000.5,ztf_g,20,,mag,maybe,", ["'upper_limit'", "'maybe'"]),
        ("59000.5,ztf_g,20,0.1,mag", ["row 2 (line 4)", "5 fields", "header has 7"]),
    ],
)
def test_bad_rows_are_named(tmp_path, row, fragments):
    path = write(tmp_path, ["# lc", HEADER, ROWS[0], row])
    with pytest.raises(PhotometryError) as info:
        read_photometry(path)
    msg = str(info.value)
    assert str(path) in msg
    for fragment in fragments:
        assert fragment in msg, (fragment, msg)


@pytest.mark.parametrize(
    "lines, fragment",
    [
        (["time,band,value,error", "1,ztf_g,1,1"], "missing column 'unit'"),
        (["time,value,error,unit"], "missing column 'band'"),
        (["# only comments"], "no header line"),
        (["time,band,value [uJy],error,unit", "1,ztf_g,19,0.1,mag"], "mixed units in one row"),
        (["time,band,value [uJy],error [mag]", "1,ztf_g,19,0.1"], "mixed units"),
        (["time,band,value [furlong],error,unit"], "unit 'furlong'"),
    ],
)
def test_bad_tables(tmp_path, lines, fragment):
    with pytest.raises(PhotometryError) as info:
        read_photometry(write(tmp_path, lines))
    assert fragment in str(info.value)


@pytest.mark.parametrize("content, fragment", [(b"\xff\xfe\x00", "not a text table"), (None, "longer than 64 Mi")])
def test_files_that_are_no_light_curve(tmp_path, content, fragment):
    path = "/dev/zero" if content is None else tmp_path / "x.csv"  # a device that never ends: bounded read
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(PhotometryError, match=fragment):
        read_photometry(path)


@pytest.mark.parametrize(
    "rows, fragment",
    [
        ([], "no measurements"),
        (["1,ztf_g,19,0.1,mag,0,", "2,ztf_g,19.2,0.1,mag,0,"], "at least two bands"),
        (["1,ztf_g,21,,mag,1,", "2,ztf_r,21,,mag,1,"], "every one of the 2 points is an upper limit"),
    ],
)
def test_what_cannot_be_fitted(tmp_path, rows, fragment):
    phot = read_photometry(write(tmp_path, [HEADER, *rows]))
    with pytest.raises(PhotometryError, match=fragment):
        phot.check_fittable()


def test_round_trip_through_a_dict_and_select():
    phot = Photometry([1.0, 2.0, 3.0], ["ztf_g", "ztf_r", "xrt"], [19.0, 5.0, 1e-14], [0.1, 1.0, math.nan],
                      ["mag", "uJy", "erg/s/cm2"], [False, False, True], [3, 3, 2])  # fmt: skip
    back = Photometry.from_dict(phot.to_dict())
    np.testing.assert_array_equal(back.flux, phot.flux)
    np.testing.assert_array_equal(back.flux_error, phot.flux_error)
    sub = phot.select(phot.detected)
    assert len(sub) == 2 and sub.bands == ("ztf_g", "ztf_r")
