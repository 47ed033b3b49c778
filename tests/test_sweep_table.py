"""Sweeps: plain parameters from NumPy values, progress without tqdm, the size of
a grid, and a sweep as a table."""

import math
import sys
import warnings

import numpy as np
import pytest

from velquor.sweep import GridResult, grid, results_table, run_grid

QUICK = dict(t_end_days=2e4, n_out=50)


@pytest.mark.parametrize(
    "value, plain",
    [
        (np.array(1e6), 1e6),
        (np.float64(1e6), 1e6),
        (np.float32(0.5), 0.5),
        (np.int64(7), 7),
        (np.bool_(False), False),
        (np.str_("kramers"), "kramers"),
        (np.array([1e6, 3e6]), [1e6, 3e6]),
        ([np.float64(1e6), np.float64(3e6)], [1e6, 3e6]),
    ],
)
def test_grid_values_come_back_plain(value, plain):
    values = [d["x"] for d in grid(x=value)]
    assert values == (plain if isinstance(plain, list) else [plain])
    assert all(type(v) in (float, int, bool, str) and type(v) is type(values[0]) for v in values)


def test_zero_d_arrays_are_fixed_values_of_a_sweep():
    results = run_grid(grid(M_BH=np.array(1e6), alpha=np.array([0.05, 0.1]), **QUICK))
    assert [r.ok for r in results] == [True, True], [r.error_message for r in results]
    assert [r.params["alpha"] for r in results] == [0.05, 0.1]
    # Hand-made dictionaries are made plain too.
    (r,) = run_grid([dict(M_BH=np.array(1e6), beta=np.float64(1.0), fallback=np.bool_(True), **QUICK)])
    assert r.ok and {type(v) for v in r.params.values()} <= {float, int, bool}
    assert "np." not in repr(r.params)


def test_grid_size_is_checked_before_it_is_built():
    with pytest.raises(ValueError, match=r"grid of M_BH=10000 x alpha=10000 has 100000000 models, above"):
        grid(M_BH=range(10_000), alpha=range(10_000), beta=1.0)


def test_progress_without_tqdm_warns_once_and_runs(monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        results = run_grid(grid(M_BH=[1e6, 3e6], **QUICK), progress=True)
    assert all(r.ok for r in results)
    assert [(w.category, "tqdm" in str(w.message)) for w in caught] == [(RuntimeWarning, True)]


@pytest.fixture(scope="module")
def sweep():
    params = grid(M_BH=[1e6, 3e6], alpha=[0.05, 0.1], **QUICK)
    params += [dict(M_BH=-1.0), dict(integrator="euler", max_steps=20, spin=0.5, t_end_days=2e4)]
    return run_grid(params)


def test_results_table_has_one_row_per_model(sweep):
    table = results_table(sweep)
    assert isinstance(table, np.ndarray) and table.shape == (6,)
    names = table.dtype.names
    assert names[:7] == ("index", "M_BH", "alpha", "t_end_days", "n_out", "integrator", "max_steps")
    assert names[-6:] == ("status", "error", "peak_Mdot_acc_msun_yr", "t_peak_days", "M_end_msun", "late_time_slope")
    assert table["M_BH"].dtype == np.float64 and table["alpha"].dtype == np.float64
    assert list(table["index"]) == list(range(6))
    assert list(table["status"]) == ["ok"] * 4 + ["failed", "incomplete"]
    assert table["error"][4].startswith("ValueError: M_BH must be > 0") and table["error"][0] == ""
    for row, result in zip(table[:4], sweep[:4]):
        s = result.run.summary()
        for key in ("peak_Mdot_acc_msun_yr", "t_peak_days", "M_end_msun", "late_time_slope"):
            assert row[key] == s[key]
    assert all(math.isnan(table[4][k]) for k in ("peak_Mdot_acc_msun_yr", "t_peak_days", "M_end_msun"))
    # A parameter a model did not set: NaN for numbers, empty text otherwise.
    assert math.isnan(table["alpha"][5]) and table["integrator"][0] == "" and table["integrator"][5] == "euler"
    assert table["spin"][5] == 0.5 and math.isnan(table["spin"][0])


def test_results_table_column_types():
    rows = [GridResult(0, dict(n=3, flag=True, path="a.txt")), GridResult(1, dict(n=4, flag=False, path=None))]
    table = results_table(rows)
    assert table.dtype["n"] == np.int64 and table.dtype["flag"] == np.bool_
    assert list(table["path"]) == ["a.txt", "None"]
    assert results_table([]).shape == (0,)
    with pytest.raises(TypeError, match=r"results\[0\]"):
        results_table([{"M_BH": 1e6}])


def test_results_table_as_a_dataframe(sweep, monkeypatch):
    pd = pytest.importorskip("pandas")
    frame = results_table(sweep, pandas=True)
    assert isinstance(frame, pd.DataFrame)
    table = results_table(sweep)
    assert list(frame.columns) == list(table.dtype.names) and len(frame) == len(table)
    np.testing.assert_array_equal(frame["peak_Mdot_acc_msun_yr"].to_numpy(), table["peak_Mdot_acc_msun_yr"])
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match="pandas=True needs pandas"):
        results_table(sweep, pandas=True)


def test_a_sweep_leaves_the_warning_filters_alone(monkeypatch):
    # Two truncated runs on two threads, the second starting inside the first
    # and ending after it: a task that changed the process-wide warning filters
    # around its run would leave the second's filter installed for good.
    import concurrent.futures as cf
    import threading
    import time

    from velquor.tde import TDEDisk

    first_inside, second_inside = threading.Event(), threading.Event()
    init, run = TDEDisk.__init__, TDEDisk.run

    def ordered_init(self, *args, **kwargs):
        if kwargs.get("alpha") == 0.2:
            assert first_inside.wait(30)
        init(self, *args, **kwargs)

    def ordered_run(self):
        if self.alpha == 0.2:
            second_inside.set()
            time.sleep(0.3)
        else:
            first_inside.set()
            assert second_inside.wait(30)
        return run(self)

    monkeypatch.setattr(TDEDisk, "__init__", ordered_init)
    monkeypatch.setattr(TDEDisk, "run", ordered_run)
    before = list(warnings.filters)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        inside = list(warnings.filters)
        with cf.ThreadPoolExecutor(2) as pool:
            params = [dict(integrator="euler", max_steps=20, t_end_days=2e4, alpha=a) for a in (0.1, 0.2)]
            results = run_grid(params, executor=pool)
        assert warnings.filters == inside
    assert warnings.filters == before
    assert all(r.ok and not r.run.completed for r in results)
    assert caught == []
