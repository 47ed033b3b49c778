"""Adversarial inputs to the opacity classes, the root finder and the Python layer."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

from velquor.radiation.opacity import murkwell
from velquor.radiation.opacity.grey_opacity.rosseland._plumtree import C_PlumtreeOpacity


def run_isolated(code):
    """Run `code` in a fresh interpreter (a memory fault must not take the suite down)."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


# ---------------------------------------------------------------------------
# Array methods and pickling of the base classes
# ---------------------------------------------------------------------------


class _ShortEmpty:
    """Stands in for numpy with an `empty` that returns fewer elements than asked."""

    float64 = np.float64
    asarray = staticmethod(np.asarray)

    @staticmethod
    def empty(n, dtype=None):
        return np.empty(max(n - 1, 0), dtype=dtype)


@pytest.mark.parametrize("method", ["opacity_array", "log_opacity_array", "dlogkappa_dlogT_array"])
def test_array_method_refuses_a_short_output_from_a_rebound_np(monkeypatch, method):
    monkeypatch.setattr(murkwell, "np", _ShortEmpty)
    x = np.full(50_000, 2.0)
    with pytest.raises(ValueError, match=r"np\.empty\(50000\) returned an array of 49999 elements"):
        getattr(C_PlumtreeOpacity(1.0), method)(x, x)


def test_reduce_keeps_the_reconstructor_alive_while_user_code_runs():
    out = run_isolated(
        """
        import gc
        from velquor.radiation.opacity import murkwell

        class Sub(murkwell.C_GreyMurkwell):
            @property
            def __dict__(self):
                del murkwell._unpickle_C_GreyMurkwell
                gc.collect()
                return {"a": 1}

        r = Sub().__reduce__()
        print(r[0].__name__, r[1][1] == 0xE3B0C44, r[2])
        """
    )
    assert out.split() == ["_unpickle_C_GreyMurkwell", "True", "({'a':", "1},)"]


@pytest.mark.parametrize("cls", [(murkwell.C_GreyMurkwell,), (murkwell.C_GreyMurkwell, 1)])
def test_unpickle_does_not_unpack_a_tuple_given_as_the_class(cls):
    with pytest.raises(TypeError, match="is not a type object"):
        murkwell._unpickle_C_GreyMurkwell(cls, 0xE3B0C44, None)


def test_electron_reduce_reads_the_class_after_user_code_ran():
    out = run_isolated(
        """
        import gc
        from velquor.radiation.opacity import ElectronScatteringOpacity

        class Kept(ElectronScatteringOpacity):
            pass

        def make():
            class Gone(ElectronScatteringOpacity):
                @property
                def __dict__(self):
                    self.__class__ = Kept  # the last reference to Gone goes
                    gc.collect()
                    return {}
            return Gone()

        r = make().__reduce__()
        print(r[0].__name__, r[1])
        """
    )
    assert out.split() == ["Kept", "()"]


# ---------------------------------------------------------------------------
# Python layer
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("fixed", [np.float64(0.1), np.array(0.1)])
def test_grid_holds_numpy_scalars_fixed(fixed):
    from velquor.sweep import grid

    g = grid(M_BH=np.array([1e6, 1e7]), alpha=fixed)
    assert [d["M_BH"] for d in g] == [1e6, 1e7]
    assert all(type(d["alpha"]) is float and d["alpha"] == 0.1 for d in g)


def test_cli_reports_a_figure_backend_failure_on_one_line(tmp_path, monkeypatch, capsys):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    from velquor.cli import main

    def no_tex(self, *args, **kwargs):
        raise RuntimeError("'xelatex' not found; install it or change rcParams['pgf.texsystem']")

    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(Figure, "savefig", no_tex)
    assert main(["--t-end", "2000", "--no-csv", "--plot", "run.pgf"]) == 1
    out, err = capsys.readouterr()
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("velquor: error: cannot write output: 'xelatex' not found")


@pytest.mark.parametrize("integrator", ["euler", "adaptive"])
def test_tdedisk_refuses_a_t_end_that_overflows_in_seconds(integrator):
    from velquor.tde import TDEDisk

    with pytest.raises(ValueError, match=r"t_end_days must be finite in seconds, got 1e\+304 days"):
        TDEDisk(t_end_days=1e304, integrator=integrator)
