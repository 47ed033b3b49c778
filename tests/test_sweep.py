"""Parameter sweeps over thread pools, process pools and a local Dask cluster; plain
parameters from NumPy values, progress without tqdm, the size of a grid, failures kept
or reported, and a sweep as a table."""

import concurrent.futures as cf
import math
import multiprocessing
import sys
import threading
import time
import warnings
from concurrent.futures.process import BrokenProcessPool

import numpy as np
import pytest

from velquor.sweep import GridResult, failures, grid, results_table, run_grid, run_model
from velquor.tde import TDEDisk

# 16 quick models that differ in every stage: geometry, viscosity, opacity,
# thermal model, supply.
GRID = grid(M_BH=[3e5, 1e6, 3e6, 1e7], alpha=[0.03, 0.3], opacity=["es", "kramers"], t_end_days=2e4, epsilon=3e-3)


def one_by_one(params):
    return [TDEDisk(**p).run() for p in params]


def assert_same(results, expected, params):
    assert [r.index for r in results] == list(range(len(params)))
    for res, exp, p in zip(results, expected, params):
        assert res.ok, res.error_message
        assert res.params == p
        np.testing.assert_array_equal(res.run.data, exp.data)


@pytest.fixture(scope="module")
def expected():
    return one_by_one(GRID)


def test_grid_is_a_cartesian_product():
    g = grid(M_BH=[1e6, 1e7], alpha=(0.1, 0.2, 0.3), fallback=False)
    assert len(g) == 6 and g[0] == {"M_BH": 1e6, "alpha": 0.1, "fallback": False}
    assert g[-1] == {"M_BH": 1e7, "alpha": 0.3, "fallback": False}
    assert len(GRID) == 16


def test_threads_equal_one_by_one(expected):
    with cf.ThreadPoolExecutor(2) as pool:
        results = run_grid(GRID, executor=pool)
    assert_same(results, expected, GRID)


def test_default_executor_equals_one_by_one(expected):
    assert_same(run_grid(GRID), expected, GRID)
    assert_same(run_grid(GRID, max_workers=1), expected, GRID)


# A model whose native run lasts a few tenths of a second, and the probe: while
# it is inside that run (its closure counts a run in progress), a second model
# runs from start to end on the other thread.
LONG_MODEL = dict(M_BH=1e6, t_end_days=2e4, integrator="euler", epsilon=3e-5, max_steps=2_000_000, opacity="kramers")


def second_model_ran_inside_the_first(monkeypatch, serialise=None):
    """Run LONG_MODEL and a short model through run_grid on two threads, the short
    one started once the long one is inside its native run.  True when the short
    one also finished while the long one was still inside that run; False when
    it had to wait for the long run to end (a lock held across the run: the
    interpreter's, or `serialise`, held around every task)."""
    closures = []
    make_closure = TDEDisk.make_closure
    monkeypatch.setattr(TDEDisk, "make_closure", lambda self: closures.append(make_closure(self)) or closures[-1])
    submitted = []
    long_done = threading.Event()
    seen = {}

    def call(fn, *args):
        if serialise is None:
            return fn(*args)
        with serialise:
            return fn(*args)

    class Probing(cf.ThreadPoolExecutor):
        def submit(self, fn, *args, **kwargs):
            first = not submitted
            submitted.append(fn)

            def task():
                if first:
                    try:
                        return call(fn, *args)
                    finally:
                        long_done.set()
                while not (closures and closures[0]._runs_in_progress) and not long_done.is_set():
                    time.sleep(1e-4)
                inside = bool(closures[0]._runs_in_progress)
                result = call(fn, *args)
                seen["overlap"] = inside and bool(closures[0]._runs_in_progress)
                return result

            return super().submit(task)

    with Probing(2) as pool:
        results = run_grid([LONG_MODEL, GRID[1]], executor=pool)
    assert all(r.ok for r in results) and len(closures) == 2
    return seen["overlap"]


def test_models_run_concurrently(monkeypatch):
    # Neither the integrator (which releases the interpreter lock for its loop)
    # nor the sweep serialises the runs.
    assert second_model_ran_inside_the_first(monkeypatch)


def test_the_concurrency_probe_sees_a_lock_held_across_a_run(monkeypatch):
    assert not second_model_ran_inside_the_first(monkeypatch, serialise=threading.Lock())


def test_failing_models_are_reported_not_raised(expected):
    params = list(GRID[:4])
    params.insert(1, dict(M_BH=-1.0))  # refused by the model
    params.insert(3, dict(closure="gas+radiation"))  # the thermal solve fails
    params.insert(5, dict(colour="blue"))  # not an argument
    with cf.ThreadPoolExecutor(2) as pool:
        results = run_grid(params, executor=pool)
    assert len(results) == 7
    bad = failures(results)
    assert [r.index for r in bad] == [1, 3, 5]
    assert isinstance(bad[0].error, ValueError) and "M_BH" in bad[0].error_message
    assert isinstance(bad[1].error, RuntimeError) and "EXPAND_FAIL" in bad[1].error_message
    assert isinstance(bad[2].error, TypeError) and "colour" in bad[2].error_message
    assert all(r.run is None for r in bad)
    good = [r for r in results if r.ok]
    assert_same([GridResult(k, r.params, r.run) for k, r in enumerate(good)], expected[:4], GRID[:4])
    assert "failed: ValueError" in repr(bad[0])


@pytest.mark.parametrize("where", ["future", "submit"])
def test_lost_worker_is_reported(where):
    class Broken(cf.Executor):
        def submit(self, fn, *args, **kwargs):
            fut = cf.Future()
            if args[0] == 1 and where == "submit":
                raise RuntimeError("worker died")
            if args[0] == 1:
                fut.set_exception(BrokenProcessPool("worker died"))
            else:
                fut.set_result(fn(*args, **kwargs))
            return fut

    results = run_grid(GRID[:3], executor=Broken())
    assert [r.ok for r in results] == [True, False, True]
    assert "worker died" in results[1].error_message


def test_params_must_be_dicts():
    with pytest.raises(TypeError, match=r"param_dicts\[1\]"):
        run_grid([{}, 1e6])


def test_empty_sweep():
    assert run_grid([]) == []


def test_progress_bar(capsys):
    pytest.importorskip("tqdm")
    results = run_grid(GRID[:3] + [dict(M_BH=0)], progress=True)
    assert [r.ok for r in results] == [True, True, True, False]
    err = capsys.readouterr().err
    assert "4/4" in err and "1 failed" in err


def test_processes_equal_one_by_one(expected):
    # Workers in other processes receive dicts and send back picklable results.
    with cf.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        results = run_grid(GRID[:4] + [dict(M_BH=-1)], executor=pool)
    assert_same(results[:4], expected[:4], GRID[:4])
    assert isinstance(results[4].error, ValueError)


@pytest.mark.parametrize("processes", [False, True])
def test_dask_cluster_equals_one_by_one(expected, processes):
    distributed = pytest.importorskip("distributed")
    # Loopback TCP in both modes (in-process clusters default to their own
    # transport, which does not take a host).
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=processes, host="127.0.0.1", protocol="tcp://",
        dashboard_address=None, silence_logs=50,
    )  # fmt: skip
    try:
        with distributed.Client(cluster) as client:
            results = run_grid(GRID + [dict(alpha=7)], executor=client.get_executor())
    finally:
        cluster.close()
    assert_same(results[:-1], expected, GRID)
    assert "alpha" in results[-1].error_message


def test_run_model_is_the_task():
    np.testing.assert_array_equal(run_model(GRID[0]).data, TDEDisk(**GRID[0]).run().data)


@pytest.mark.parametrize("fixed", [np.float64(0.1), np.array(0.1)])
def test_grid_holds_numpy_scalars_fixed(fixed):
    g = grid(M_BH=np.array([1e6, 1e7]), alpha=fixed)
    assert [d["M_BH"] for d in g] == [1e6, 1e7]
    assert all(type(d["alpha"]) is float and d["alpha"] == 0.1 for d in g)


# ---------------------------------------------------------------------------
# Plain parameters, progress, sizes, failures kept, and sweeps as tables
# ---------------------------------------------------------------------------

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


def test_a_truncating_sweep_keeps_a_failing_model_s_columns():
    params = [dict(QUICK), dict(QUICK, closure="gas+radiation")]
    failed, kept = run_grid(params, max_workers=1), run_grid(params, max_workers=1, on_failure="truncate")
    assert not failed[1].ok and kept[1].ok and kept[1].run.failure.status_name == "CLOSURE_EXPAND_FAIL"
    np.testing.assert_array_equal(kept[1].run.data, failed[1].error.partial)
    table = results_table(kept)
    assert list(table["status"]) == ["ok", "truncated"] and table["error"][1].startswith("CLOSURE_EXPAND_FAIL: ")
    with pytest.raises(ValueError, match="on_failure"):
        run_grid(params, on_failure="ignore")


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

    def ordered_run(self, on_failure="raise"):
        if self.alpha == 0.2:
            second_inside.set()
            time.sleep(0.3)
        else:
            first_inside.set()
            assert second_inside.wait(30)
        return run(self, on_failure)

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
