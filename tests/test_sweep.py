"""Parameter sweeps over thread pools, process pools and a local Dask cluster."""

import concurrent.futures as cf
import multiprocessing
import threading
import time
from concurrent.futures.process import BrokenProcessPool

import numpy as np
import pytest

from velquor.sweep import GridResult, failures, grid, run_grid, run_model
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
