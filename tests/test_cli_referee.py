"""The ``velquor`` command under bad input (one line, exit 2, bounded memory, no
traceback), its new options, the late-time law and the validity lines, and the
README's commands."""

import os
import pathlib
import re
import shlex
import subprocess
import sys
import time

import pytest

from velquor.cli import main
from velquor.tde import TDEDisk

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


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
    def broken(self):
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
    assert re.search(r"L / L_Edd > 1 for t = 14\.\d+ \.\. \d+ days \(largest L / L_Edd 28\.\d\)", lines)
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
