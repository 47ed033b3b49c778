"""The numerical core (native/include/velquor/core) without an interpreter: its
headers include no Python header, and a plain C++ program built from them
alone runs the thermal solve against its closed form, a table lookup, the
Euler loop and the advective closure's root selection along its S-curve
(tests/native/core_check.cpp)."""

import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORE = ROOT / "native" / "include" / "velquor" / "core"
PROGRAM = pathlib.Path(__file__).resolve().parent / "native" / "core_check.cpp"


def test_core_headers_know_nothing_of_the_interpreter():
    headers = sorted(CORE.glob("*.hpp"))
    assert headers, f"no core headers under {CORE}"
    for header in headers:
        includes = [line for line in header.read_text().splitlines() if line.startswith("#include")]
        assert not [line for line in includes if "Python" in line or "velquor/bind/" in line], header


def test_core_runs_in_a_plain_program(tmp_path):
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    exe = tmp_path / "core_check"
    build = subprocess.run(
        [compiler, "-std=c++20", "-O2", "-Wall", "-Wextra", "-Werror", f"-I{ROOT / 'native' / 'include'}",
         str(PROGRAM), "-o", str(exe)],
        capture_output=True, text=True, timeout=300,
    )
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and run.stdout.endswith("0 failed\n"), run.stdout + run.stderr
    checks = [line for line in run.stdout.splitlines() if line.startswith("ok ")]
    assert len(checks) == 26
