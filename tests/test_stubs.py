"""The .pyi stubs shipped with the package match the installed modules (mypy's stubtest)."""

import pathlib
import subprocess
import sys

import pytest

import velquor

pytest.importorskip("mypy.stubtest")

ROOT = pathlib.Path(velquor.__file__).parent


def stubbed_modules():
    names = []
    for stub in sorted(ROOT.rglob("*.pyi")):
        parts = stub.relative_to(ROOT.parent).with_suffix("").parts
        names.append(".".join(parts[:-1] if parts[-1] == "__init__" else parts))
    return names


def test_every_extension_module_has_a_stub():
    missing = [
        so.name for so in ROOT.rglob("*.so") if not (so.parent / (so.name.split(".")[0] + ".pyi")).exists()
    ]
    assert missing == []


def test_stubs_match_the_runtime(tmp_path):
    modules = stubbed_modules()
    packages = [m for m in modules if (ROOT.parent / m.replace(".", "/") / "__init__.pyi").exists()]
    # a package and its submodules in one run confuse mypy's module map: check them apart
    for group in ([m for m in modules if m not in packages], packages):
        out = subprocess.run(
            [sys.executable, "-m", "mypy.stubtest", *group], cwd=tmp_path, capture_output=True, text=True
        )
        assert out.returncode == 0, out.stdout + out.stderr
