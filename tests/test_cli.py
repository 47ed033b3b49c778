"""The ``velquor`` command: default run, output options, and one-line errors."""

import os
import pathlib
import subprocess
import sys
from importlib import metadata

import numpy as np
import pytest

from velquor.cli import main
from velquor.tde import M_SUN, YEAR, DiskRun, TDEDisk

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_default_run_writes_plot_and_table_and_prints_summary(in_tmp, capsys):
    pytest.importorskip("matplotlib")
    assert main([]) == 0
    out, err = capsys.readouterr()
    assert err == ""
    assert sorted(p.name for p in in_tmp.iterdir()) == ["velquor_tde.csv", "velquor_tde.png"]
    assert (in_tmp / "velquor_tde.png").read_bytes()[:8] == PNG_MAGIC

    ref = TDEDisk().run()
    lines = (in_tmp / "velquor_tde.csv").read_text().splitlines()
    assert sum(1 for line in lines if not line.startswith("#")) == ref.n + 1  # header + one line per step
    s = ref.summary()
    for label, value in [
        ("peak accretion rate", f"{s['peak_Mdot_acc']:.4g} M_sun/yr"),
        ("time of peak", f"{s['t_peak']:.4g} days"),
        ("disk mass at the end", f"{s['M_end']:.4g} M_sun"),
        ("late-time slope", f"{s['late_time_slope']:.4f}"),
    ]:
        line = next(line for line in out.splitlines() if label in line)
        assert value in line


def test_output_options_and_physics_options(in_tmp, capsys):
    (in_tmp / "out").mkdir()
    argv = ["--mbh", "3e6", "--beta", "1.5", "--opacity", "kramers", "--no-fallback", "--t-end", "2e4",
            "--no-plot", "--csv", "out/a.csv", "--npz", "out/a.npz", "--quiet"]  # fmt: skip
    assert main(argv) == 0
    assert capsys.readouterr() == ("", "")
    assert sorted(p.name for p in (in_tmp / "out").iterdir()) == ["a.csv", "a.npz"]
    run = DiskRun.load_npz(in_tmp / "out" / "a.npz")
    expected = TDEDisk(M_BH=3e6, beta=1.5, opacity="kramers", fallback=False, t_end=2e4).run()
    np.testing.assert_array_equal(run.data, expected.data)
    assert not run.fallback


def test_integrator_option(in_tmp, capsys):
    from velquor.tde import available_integrators

    for name in available_integrators():
        assert main(["--integrator", name, "--no-plot", "--no-csv", "--t-end", "1e4"]) == 0
        out = capsys.readouterr().out
        peak = float(next(line for line in out.splitlines() if "peak accretion" in line).split()[3])
        assert peak == pytest.approx(TDEDisk(t_end=1e4).run().peak_Mdot_acc * YEAR / M_SUN, rel=1e-2)


def test_help_is_for_newcomers(capsys):
    assert main(["--help"]) == 0
    out = capsys.readouterr().out
    for needle in ["usage: velquor", "solar masses", "days", "velquor_tde.png", "--opal-table", "examples:"]:
        assert needle in out


def bad_table(tmp_path):
    path = tmp_path / "table.txt"
    path.write_text("this is not an opacity table\n")
    return str(path)


@pytest.mark.parametrize(
    "argv, needle",
    [
        (["--mbh", "-1"], "M_BH"),
        (["--mstar", "0"], "M_star"),
        (["--closure", "radiation"], "closure"),
        (["--opacity", "opal"], "opacity"),
        (["--opal-table", "{tmp}/missing.txt"], "missing.txt"),
        (["--opal-table", "{tmp}"], "cannot read opacity table"),
        (["--opal-table", "{bad}"], "table.txt"),
        (["--opal-table-number", "3"], "--opal-table"),
        (["--alpha", "2"], "alpha"),
        (["--epsilon", "1"], "epsilon"),
        (["--t-end", "1"], "t_end"),
        (["--mbh", "lots"], "--mbh"),
        (["--max-steps", "1.5"], "--max-steps"),
        (["--bogus"], "--bogus"),
        (["--integrator", "rk4"], "integrator"),
        (["--plot", "{tmp}/nowhere/x.png"], "nowhere"),
        (["--csv", "{tmp}/nowhere/x.csv"], "nowhere"),
        (["--plot", "x.xyz"], "x.xyz"),
        (["--closure", "gas+radiation"], "EXPAND_FAIL"),  # a model that fails
    ],
)
def test_bad_input_is_one_line_on_stderr(in_tmp, capsys, argv, needle):
    argv = [a.format(tmp=in_tmp, bad=bad_table(in_tmp)) for a in argv]
    before = set(in_tmp.iterdir())
    code = main(argv)
    out, err = capsys.readouterr()
    assert code != 0
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("velquor: error: ")
    assert needle in err and "Traceback" not in err
    assert set(in_tmp.iterdir()) == before  # nothing written


def test_exit_codes_tell_bad_input_from_failed_model(in_tmp, capsys):
    assert main(["--mbh", "-1"]) == 2
    assert main(["--closure", "gas+radiation", "--no-plot", "--no-csv"]) == 1
    capsys.readouterr()


def test_truncated_run_warns(in_tmp, capsys):
    assert main(["--integrator", "euler", "--max-steps", "20", "--no-plot", "--no-csv"]) == 0
    out, err = capsys.readouterr()
    assert err.startswith("velquor: warning: ") and "max_steps=20" in err and err.count("\n") == 1
    assert "stopped before t_end" in out


def test_console_script_is_installed(tmp_path):
    (ep,) = [e for e in metadata.entry_points(group="console_scripts") if e.name == "velquor"]
    assert ep.value == "velquor.cli:main"
    script = pathlib.Path(sys.executable).parent / "velquor"
    if not script.exists():
        pytest.skip("console script not next to the interpreter")
    env = dict(os.environ, PYTHONWARNINGS="ignore")
    bad = subprocess.run([str(script), "--mbh", "-3"], capture_output=True, text=True, cwd=tmp_path, env=env)
    assert bad.returncode == 2 and bad.stdout == ""
    assert bad.stderr == "velquor: error: M_BH must be > 0 M_sun, got -3.0\n"


def test_cli_reports_a_figure_backend_failure_on_one_line(tmp_path, monkeypatch, capsys):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure


    def no_tex(self, *args, **kwargs):
        raise RuntimeError("'xelatex' not found; install it or change rcParams['pgf.texsystem']")

    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(Figure, "savefig", no_tex)
    assert main(["--t-end", "2000", "--no-csv", "--plot", "run.pgf"]) == 1
    out, err = capsys.readouterr()
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("velquor: error: cannot write output: 'xelatex' not found")
