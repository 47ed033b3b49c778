"""The ``velquor`` command: default run, output options, one-line errors under bad input
(exit 2, bounded memory, no traceback), the late-time law, the validity lines and the
README's commands."""

import os
import pathlib
import re
import shlex
import subprocess
import sys
import time
from importlib import metadata

import numpy as np
import pytest

from velquor.cli import main
from velquor.tde import M_SUN, YEAR, DiskRun, TDEDisk

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"
README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


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
        ("peak accretion rate", f"{s['peak_Mdot_acc_msun_yr']:.4g} M_sun/yr"),
        ("time of peak", f"{s['t_peak_days']:.4g} days"),
        ("disk mass at the end", f"{s['M_end_msun']:.4g} M_sun"),
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
    expected = TDEDisk(M_BH=3e6, beta=1.5, opacity="kramers", fallback=False, t_end_days=2e4).run()
    np.testing.assert_array_equal(run.data, expected.data)
    assert not run.fallback


def test_integrator_option(in_tmp, capsys):
    from velquor.tde import available_integrators

    for name in available_integrators():
        assert main(["--integrator", name, "--no-plot", "--no-csv", "--t-end", "1e4"]) == 0
        out = capsys.readouterr().out
        peak = float(next(line for line in out.splitlines() if "peak accretion" in line).split()[3])
        assert peak == pytest.approx(TDEDisk(t_end_days=1e4).run().peak_Mdot_acc * YEAR / M_SUN, rel=1e-2)


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
        (["--opacity", "grey"], "opacity"),
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
        (["--xi", "2"], "xi applies to closure 'advective' only"),
        (["--closure", "advective", "--xi", "-1"], "xi must be >= 0"),
        (["--closure", "advective", "--xi", "nan"], "xi must be finite"),
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


def test_keep_partial_writes_what_a_failed_model_computed(in_tmp, capsys):
    assert main(["--closure", "gas+radiation", "--keep-partial", "--no-plot"]) == 1
    out, err = capsys.readouterr()
    assert err.count("\n") == 1 and "the model failed at t = " in err and "(CLOSURE_EXPAND_FAIL)" in err
    assert "the model failed at t = " in summary_line(out, "steps")
    kept = TDEDisk(closure="gas+radiation").run(on_failure="truncate")
    lines = [line for line in (in_tmp / "velquor_tde.csv").read_text().splitlines() if not line.startswith("#")]
    assert len(lines) == 1 + kept.n  # the header, then one line per column computed


def test_advective_summary_reports_the_branches(in_tmp, capsys):
    assert main(["--closure", "advective", "--no-plot", "--no-csv"]) == 0
    out = capsys.readouterr().out
    run = TDEDisk(closure="advective").run()
    s = run.summary()
    assert f"L / L_Edd = {s['max_L_Edd']:.3g} at {s['t_max_L_days']:.4g} days" in summary_line(out, "peak Eddington")
    lines = summary_line(out, "thermal branch")
    first = run.branch_episodes()[1]
    assert f"advective for t = {first.t_start / 86400:.4g} .. {first.t_end / 86400:.4g} days" in lines
    assert f"back on the thin branch at {s['t_left_advective_days']:.4g} days" in lines
    n = s["n_limit_cycles"]
    assert (f"{n} limit cycle" in lines) if n else ("no limit cycle" in lines)
    assert main(["--no-plot", "--no-csv"]) == 0
    assert "thermal branch" not in capsys.readouterr().out  # a thin closure has none


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



def summary_line(out, label):
    lines = out.splitlines()
    k = next(k for k, line in enumerate(lines) if line.strip().startswith(label))
    text = [lines[k]]
    indent = len(lines[k]) - len(lines[k].lstrip()) + 2
    for line in lines[k + 1 :]:
        if line[:indent].strip():
            break
        text.append(line)
    return "\n".join(text)


# ---------------------------------------------------------------------------
# Every bad input of the issue: one line, exit 2, bounded memory, fast
# ---------------------------------------------------------------------------


def run_limited(args, cwd):
    """Run the installed command in a child limited to 1.5 GiB of address space."""
    code = (
        "import resource, sys; resource.setrlimit(resource.RLIMIT_AS, (3 << 29, 3 << 29)); "
        "from velquor.cli import main; sys.exit(main(sys.argv[1:]))"
    )
    env = dict(os.environ, PYTHONWARNINGS="ignore", OPENBLAS_NUM_THREADS="1", MPLBACKEND="Agg")
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, cwd=cwd, env=env,
                          timeout=120)  # fmt: skip
    return done, time.perf_counter() - start


@pytest.mark.parametrize(
    "args, needle",
    [
        (["--n-out", "2147483647"], "n_out=2147483647 asks for a result of 320 GiB"),
        (["--n-out", "100000000"], "n_out=100000000"),
        (["--integrator", "euler", "--max-steps", "2147483647"], "max_steps=2147483647"),
        (["--n-out", "0", "--max-steps", "1000000000"], "max_steps=1000000000"),
        (["--mbh", "-1e6"], "M_BH must be > 0 M_sun, got -1000000.0"),
        (["--mbh", "5e7"], "Hills limit"),
        (["--mbh", "1e5", "--spin", "1"], "spin must be in (-1, 1), got 1.0"),
        (["--mstar", "-2E-1"], "M_star must be > 0 M_sun, got -0.2"),
        (["--beta", "0.5", "--m-bound", "2"], "M_bound must not exceed M_star"),
        (["--opal-table", "/dev/zero"], "too large for an opacity table"),
        (["--max-steps", "1e9"], "--max-steps"),
    ],
)
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves more address space than the child's limit allows")
def test_bad_input_in_a_bounded_child(tmp_path, args, needle):
    done, seconds = run_limited(args, tmp_path)
    assert done.returncode == 2, done.stderr
    assert done.stdout == "" and "Traceback" not in done.stderr
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("velquor: error: ")
    assert needle in done.stderr
    assert seconds < 30
    assert list(tmp_path.iterdir()) == []


# ---------------------------------------------------------------------------
# Negative numbers and the new options
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--mbh", "-1e6"], "M_BH must be > 0 M_sun, got -1000000.0"),
        (["--mbh=-1e6"], "M_BH must be > 0 M_sun, got -1000000.0"),
        (["--rstar", "-.5e-1"], "R_star must be > 0 R_sun, got -0.05"),
        (["--t-end", "-inf"], "t_end_days must be finite"),
        (["--alpha", "-NaN"], "alpha must be finite"),
        (["--spin", "-1E+0"], "spin must be in (-1, 1)"),
        (["--n-out", "-3"], "n_out must be 0 or an integer >= 2, got -3"),
    ],
)
def test_negative_numbers_reach_the_model(in_tmp, capsys, argv, message):
    assert main(argv) == 2
    out, err = capsys.readouterr()
    assert out == "" and err.startswith("velquor: error: ") and err.count("\n") == 1
    assert message in err


def test_spin_star_and_bound_mass_options(in_tmp, capsys):
    argv = ["--mstar", "0.3", "--spin", "-0.5", "--m-bound", "0.1", "--no-plot", "--no-csv", "--t-end", "2e4"]
    assert main(argv) == 0
    out = capsys.readouterr().out
    disk = TDEDisk(M_star=0.3, spin=-0.5, M_bound=0.1)
    assert "spin -0.5" in summary_line(out, "black hole") and f"{disk.R_in:.4g} cm" in out
    assert f"{0.3**0.8:.4g} R_sun (main sequence)" in summary_line(out, "star")
    assert "bound debris 0.1 M_sun" in summary_line(out, "star")
    assert main(["--rstar", "2", "--no-plot", "--no-csv", "--t-end", "2e4"]) == 0
    assert "2 R_sun, beta" in capsys.readouterr().out


def test_partial_disruption_warns_on_one_line(in_tmp, capsys):
    assert main(["--beta", "0.7", "--no-plot", "--no-csv", "--t-end", "2e4"]) == 0
    err = capsys.readouterr().err
    assert err.startswith("velquor: warning: beta = 0.7 < 1") and err.count("\n") == 1
    assert main(["--beta", "0.7", "--m-bound", "0.2", "--no-plot", "--no-csv", "--t-end", "2e4"]) == 0
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize(
    "raised, code, text",
    [
        (KeyError("column"), 1, "velquor: error: unexpected KeyError: 'column' (a bug in velquor"),
        (KeyboardInterrupt(), 130, "velquor: interrupted"),
        (MemoryError(), 1, "velquor: error: out of memory"),
    ],
)
def test_nothing_reaches_the_user_as_a_traceback(in_tmp, capsys, monkeypatch, raised, code, text):
    def broken(self, on_failure="raise"):
        raise raised

    monkeypatch.setattr(TDEDisk, "run", broken)
    assert main(["--no-plot", "--no-csv"]) == code
    out, err = capsys.readouterr()
    assert out == "" and err.startswith(text) and err.count("\n") == 1


# ---------------------------------------------------------------------------
# The late-time law and the validity lines
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "argv, expected",
    [
        ([], ["electron-scattering law -19/16 = -1.1875", "not reached: the slope still drifts"]),
        (["--opacity", "kramers"], ["Kramers law -5/4 = -1.2500", "not reached"]),
        (["--no-fallback", "--t-end", "1e7"], ["-19/16", "steady, 0.03", "steeper than the law"]),
        (["--opacity", "kramers", "--no-fallback", "--t-end", "1e7"], ["-5/4", "steady, 0.0", "steeper than the law"]),
        (["--t-end", "3000"], ["-19/16", "not reached: the fallback still feeds the disk at 17 times its accretion rate"]),
        (["--opacity", "opal", "--t-end", "2e4"], ["no self-similar law is claimed", "'opal'"]),
    ],
)
def test_slope_is_compared_with_the_law_of_the_opacity(in_tmp, capsys, argv, expected):
    assert main([*argv, "--no-plot", "--no-csv"]) == 0
    line = summary_line(capsys.readouterr().out, "late-time slope")
    for needle in expected:
        assert needle in line
    if "-5/4" in expected[0] or "opal" in " ".join(argv):
        assert "19/16" not in line


def test_validity_lines(in_tmp, capsys):
    assert main(["--mbh", "1e5", "--no-plot", "--no-csv"]) == 0
    lines = summary_line(capsys.readouterr().out, "domain of the model")
    run = TDEDisk(M_BH=1e5).run()
    assert f"left in {len(run.validity())} time ranges:" in lines
    edd = next(r for r in run.validity() if r.condition == "L / L_Edd > 1")
    assert f"L / L_Edd > 1 for t = {edd.t_start / 86400:.4g} .. {edd.t_end / 86400:.4g} days" in lines
    assert f"(largest L / L_Edd {edd.extreme:.3g})" in lines
    assert main(["--opacity", "kramers", "--no-plot", "--no-csv"]) == 0
    assert "domain of the model         inside it throughout" in capsys.readouterr().out


# ---------------------------------------------------------------------------
# The README's commands work as written
# ---------------------------------------------------------------------------


def readme_commands():
    text = README.read_text()
    block = text[text.index("## The command") :]
    block = block[block.index("```bash") : block.index("```", block.index("```bash") + 3)]
    return [shlex.split(line, comments=True) for line in block.splitlines() if line.startswith("velquor")]


@pytest.mark.skipif(not README.exists(), reason="README not next to the tests")
@pytest.mark.parametrize("argv", readme_commands() if README.exists() else [], ids=" ".join)
def test_readme_command_runs(in_tmp, capsys, argv):
    pytest.importorskip("matplotlib")
    (in_tmp / "out").mkdir()
    assert main(argv[1:]) == 0, capsys.readouterr().err
    assert "Traceback" not in capsys.readouterr().err


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
