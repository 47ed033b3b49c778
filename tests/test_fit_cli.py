"""``velquor fit``: one-line errors and exit 2 for bad input, and a quick fit writing its files."""

import pathlib
import shlex
import subprocess
import sys

import pytest

pytest.importorskip("velquor.observe")
pytest.importorskip("emcee")
pytest.importorskip("astropy")

from velquor.cli import main  # noqa: E402

HEADER = "time,band,value,error,unit,upper_limit"


@pytest.mark.parametrize(
    "rows, args, fragment",
    [
        ([], ["--z", "0.05"], "no measurements"),
        (["1,ztf_g,19,0.1,mag,0", "2,ztf_g,19.1,0.1,mag,0"], ["--z", "0.05"], "at least two bands"),
        (["1,ztf_g,19,0.1,mag,0", "2,ztf_k,19.1,0.1,mag,0"], ["--z", "0.05"], "unknown band 'ztf_k'"),
        (["1,ztf_g,19,0.1,mag,0", "2,ztf_r,19.1,0.1,mag uJy,0"], ["--z", "0.05"], "more than one unit"),
        (["1,ztf_g,19,0.1,mag,0", "2,ztf_r,19.1,0.1,mag,0"], ["--z", "0"], "--z must be > 0"),
        (["1,ztf_g,19,0.1,mag,0", "2,ztf_r,19.1,0.1,mag,0"], ["--z", "-0.1"], "--z must be > 0"),
        (["1,ztf_g,19,0.1,mag,0", "2,ztf_r,19.1,0.1,mag,0"], [], "give the redshift"),
        (["1,ztf_g,21,,mag,1", "2,ztf_r,21,,mag,1"], ["--z", "0.05"], "upper limit: nothing to fit"),
        (["1,ztf_g,19,0.1,mag,0", "2,ztf_r,19.1,0.1,mag,0"], ["--z", "0.05", "--fix", "mbh=1e6"], "unknown parameter"),
        (["1,ztf_g,19,0.1,mag,0", "2,ztf_r,19.1,0.1,mag,0"], ["--z", "0.05", "--fix", "beta=big"], "not a number"),
        (["1,ztf_g,19,0.1,mag,0", "2,ztf_r,19.1,0.1,mag,0"], ["--z", "0.05", "--prior", "beta=1"], "LO,HI"),
        (["1,ztf_g,19,0.1,mag,0", "2,ztf_r,19.1,0.1,mag,0"], ["--z", "0.05", "--d-l", "-5"], "--d-l"),
        (["1,ztf_g,19,0.1,mag,0", "2,ztf_r,19.1,0.1,mag,0"], ["--z", "0.05", "--resume"], "no chain to continue"),
        (None, ["--z", "0.05"], "No such file"),
    ],
)
def test_bad_input_is_one_line_and_exit_2(tmp_path, capsys, rows, args, fragment):
    path = tmp_path / "lc.csv"
    if rows is not None:
        path.write_text("\n".join([HEADER, *rows]) + "\n")
    code = main(["fit", str(path), "--out", str(tmp_path / "out"), *args])
    out, err = capsys.readouterr()
    assert code == 2 and out == ""
    assert err.count("\n") == 1 and err.startswith("velquor fit: error:"), err
    assert fragment in err, err


def test_photometry_or_demo(capsys):
    assert main(["fit"]) == 2
    assert "PHOTOMETRY file or --demo" in capsys.readouterr().err


def test_no_traceback_from_the_command(tmp_path):
    path = tmp_path / "lc.csv"
    path.write_text(HEADER + "\n1,ztf_g,19,0.1,mag,0\n2,ztf_r,x,0.1,mag,0\n")
    done = subprocess.run([sys.executable, "-m", "velquor", "fit", str(path), "--z", "0.05"], capture_output=True,
                          text=True, cwd=tmp_path)  # fmt: skip
    assert done.returncode == 2 and "Traceback" not in done.stderr
    assert "row 2 (line 3), column 'value': 'x' is not a number" in done.stderr


def test_quick_fit_writes_its_files(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    from astropy.table import Table

    from velquor.fit import FitResult, synthetic_light_curve

    phot, truth = synthetic_light_curve(seed=5, n_points=60)
    phot.write(tmp_path / "lc.ecsv")
    out = tmp_path / "fit"
    argv = ["fit", str(tmp_path / "lc.ecsv"), "--z", "0.02", "--quick", "--max-steps", "40", "--walkers", "16",
            "--seed", "1", "--fix", "beta=1.5", "--out", str(out), "-q"]  # fmt: skip
    assert main(argv) == 0
    assert capsys.readouterr() == ("", "")
    names = sorted(p.name for p in out.iterdir())
    assert names == ["chain.npz", "corner.png", "light_curves.png", "posterior.ecsv", "summary.ecsv"]
    post = Table.read(out / "posterior.ecsv")
    assert post.colnames == ["M_BH", "log10_M_BH", "M_star", "alpha", "t_disruption_mjd", "inclination", "f_sys",
                             "log_probability"]  # fmt: skip
    result = FitResult.load(out / "posterior.ecsv")
    assert result.fixed["beta"] == 1.5 and result.info["n_steps"] == 40
    summary = Table.read(out / "summary.ecsv")
    assert {"log10_M_BH", "L_peak", "eddington_ratio", "M_disk_msun"} <= set(summary["name"])


def test_readme_fit_commands_parse():
    """Every ``velquor fit`` line of the README's fitting section is a valid command line."""
    from velquor.fit._cli import build_parser

    readme = pathlib.Path(__file__).resolve().parent.parent / "README.md"
    if not readme.exists():
        pytest.skip("README not next to the tests")
    text = readme.read_text()
    block = text[text.index("## Fitting a light curve") :]
    block = block[block.index("```bash") : block.index("```", block.index("```bash") + 3)]
    lines = [shlex.split(line, comments=True) for line in block.splitlines() if line.startswith("velquor fit")]
    assert len(lines) >= 5
    for argv in lines:
        args = build_parser().parse_args(argv[2:])
        assert args.demo or args.photometry


def test_interrupted_fit_points_to_its_saved_chain(tmp_path, capsys, monkeypatch):
    from velquor.fit import TDEFit

    def interrupted(self, *args, chain=None, **kwargs):
        pathlib.Path(chain).write_bytes(b"")  # what the sampler saves on Ctrl-C
        raise KeyboardInterrupt

    monkeypatch.setattr(TDEFit, "sample", interrupted)
    assert main(["fit", "--demo", "--out", str(tmp_path), "-q"]) == 130
    err = capsys.readouterr().err
    assert f"the chain so far is in {tmp_path / 'chain.npz'}: add --resume to continue it" in err
    assert err.endswith("velquor: interrupted\n")
