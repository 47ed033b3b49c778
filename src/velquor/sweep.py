"""Parameter sweeps: run many disk models at once.

:func:`run_grid` sends plain parameter dictionaries (the keyword arguments of
:class:`~velquor.tde.TDEDisk`) to any :class:`concurrent.futures.Executor`.
Each task builds its own model and closure from its dictionary, so nothing
native crosses a thread or process boundary and every task is independent.

Threads give real parallelism: the integrator releases the interpreter lock for
the whole time loop.  A Dask cluster works through its executor interface::

    from distributed import Client
    with Client() as client:
        results = run_grid(grid, executor=client.get_executor())

A model that fails (bad parameters, a thermal solve without solution, a lost
worker) is reported in its :class:`GridResult`; the sweep itself never raises
for it.  :func:`results_table` turns a sweep into a table, one row per model::

    table = results_table(run_grid(grid(M_BH=[1e5, 1e6, 1e7], alpha=[0.01, 0.1])))
    table["peak_Mdot_acc_msun_yr"]          # or results_table(..., pandas=True)
"""

from __future__ import annotations

import concurrent.futures as cf
import itertools
import math
import numbers
import os
import warnings
from collections.abc import Iterable, Iterator, Mapping
from typing import Any

import numpy as np

__all__ = ["GridResult", "run_grid", "grid", "run_model", "failures", "results_table", "MAX_GRID_MODELS"]

#: Most models :func:`grid` builds (checked before the product is formed): a
#: bound on the memory a few long axes can ask for.
MAX_GRID_MODELS = 10_000_000


class GridResult:
    """Outcome of one model of a sweep.

    Attributes
    ----------
    index : int
        Position of the model in the input sequence.
    params : dict
        The parameter dictionary the model was built from, with NumPy scalars
        and 0-d arrays turned into plain Python numbers.
    run : DiskRun or None
        The result, or None when the model failed.
    error : BaseException or None
        The exception that stopped the model, or None.
    error_message : str
        ``"TypeName: message"`` of the error, or ``""``.
    """

    __slots__ = ("index", "params", "run", "error", "error_message")

    def __init__(
        self, index: int, params: dict[str, Any], run: Any = None, error: BaseException | None = None
    ) -> None:
        self.index = index
        self.params = params
        self.run = run
        self.error = error
        self.error_message = "" if error is None else f"{type(error).__name__}: {error}"

    @property
    def ok(self) -> bool:
        """True when the model produced a result."""
        return self.error is None

    def __repr__(self) -> str:
        what = repr(self.run) if self.ok else f"failed: {self.error_message}"
        return f"<GridResult #{self.index} {what}>"


def run_model(params: Mapping[str, Any], on_failure: str = "raise") -> Any:
    """Build :class:`~velquor.tde.TDEDisk` from ``params`` and run it.

    This is what each task of a sweep executes; it takes and returns only
    picklable objects, so it runs in threads, processes and Dask workers alike.
    ``on_failure`` is passed to :meth:`~velquor.tde.TDEDisk.run`.

    Returns
    -------
    DiskRun
    """
    from velquor.tde import _WARN_TRUNCATION, TDEDisk

    model = TDEDisk(**params)
    # The truncation is visible in the result (``completed``); a sweep should
    # not print one warning per model.
    token = _WARN_TRUNCATION.set(False)
    try:
        return model.run(on_failure=on_failure)
    finally:
        _WARN_TRUNCATION.reset(token)


def _task(index: int, params: dict[str, Any], on_failure: str = "raise") -> GridResult:
    # Never raises: the error travels back in the result.
    try:
        return GridResult(index, params, run=run_model(params, on_failure))
    except Exception as exc:  # noqa: BLE001 - reported per model
        exc.__traceback__ = None  # tracebacks hold frames, which do not pickle
        return GridResult(index, params, error=_picklable(exc))


def _picklable(exc: BaseException) -> BaseException:
    import pickle

    try:
        pickle.loads(pickle.dumps(exc))
        return exc
    except Exception:  # noqa: BLE001
        return RuntimeError(f"{type(exc).__name__}: {exc}")


def grid(**axes: Any) -> list[dict[str, Any]]:
    """Cartesian product of parameter values as a list of dictionaries.

    A scalar value is held fixed; a list, tuple, range or array of rank 1 or
    more is an axis.  NumPy scalars and 0-d arrays are scalars, and every value
    comes back as a plain Python ``float``, ``int``, ``bool`` or ``str``
    (``np.float64(1e6)`` and ``np.array(1e6)`` give ``1e6``).

    Raises
    ------
    ValueError
        The product has more than :data:`MAX_GRID_MODELS` models.

    Examples
    --------
    >>> grid(M_BH=[1e6, 1e7], alpha=[0.01, 0.1], fallback=False)  # doctest: +SKIP
    [{'M_BH': 1e6, 'alpha': 0.01, 'fallback': False}, ...]
    """
    names = list(axes)
    sizes = [len(v) if _is_axis(v) else 1 for v in axes.values()]
    total = math.prod(sizes)
    if total > MAX_GRID_MODELS:
        shape = " x ".join(f"{n}={k}" for n, k in zip(names, sizes) if k != 1)
        raise ValueError(f"grid of {shape} has {total} models, above the limit of {MAX_GRID_MODELS} (MAX_GRID_MODELS)")
    values = [[_plain(x) for x in v] if _is_axis(v) else [_plain(v)] for v in axes.values()]
    return [dict(zip(names, combo)) for combo in itertools.product(*values)]


def _plain(v: Any) -> Any:
    """A NumPy scalar or 0-d array as the Python value it holds; anything else as it is."""
    if isinstance(v, np.generic) or (isinstance(v, np.ndarray) and v.ndim == 0):
        return v.item()
    return v


def _is_axis(v: Any) -> bool:
    # NumPy scalars have __array__ too, but no length: only arrays of rank >= 1 are axes.
    return isinstance(v, (list, tuple, range)) or (hasattr(v, "__array__") and getattr(v, "ndim", 1) > 0)


def run_grid(
    param_dicts: Iterable[Mapping[str, Any]],
    executor: cf.Executor | None = None,
    progress: bool = False,
    *,
    max_workers: int | None = None,
    on_failure: str = "raise",
) -> list[GridResult]:
    """Run one disk model per parameter dictionary, concurrently.

    Parameters
    ----------
    param_dicts : iterable of dict
        Keyword arguments of :class:`~velquor.tde.TDEDisk`, one dictionary per
        model, with plain values (numbers, strings, booleans, paths); NumPy
        scalars and 0-d arrays are taken as the numbers they hold.
    executor : concurrent.futures.Executor, optional
        Where the models run: a ``ThreadPoolExecutor`` (the integrator releases
        the interpreter lock, so threads run in parallel), a
        ``ProcessPoolExecutor``, or ``distributed.Client.get_executor()``.  By
        default a thread pool of ``max_workers`` threads is created for the
        sweep and shut down after it.
    progress : bool, optional
        Show a tqdm progress bar; without ``tqdm`` installed the sweep runs
        without one, after a single ``RuntimeWarning``.
    max_workers : int, optional
        Size of the default thread pool; default ``os.cpu_count()``.  Ignored
        when ``executor`` is given.
    on_failure : {"raise", "truncate"}, optional
        ``"raise"`` (default): a model whose native run fails is reported as
        failed (``result.error``).  ``"truncate"``: it keeps what it computed
        before the failure (``result.run.failure`` says why; see
        :meth:`~velquor.tde.TDEDisk.run`).

    Returns
    -------
    list of GridResult
        In the order of ``param_dicts``.  ``result.ok`` tells whether the model
        ran; ``result.run`` is its :class:`~velquor.tde.DiskRun`,
        ``result.error`` its exception otherwise.
    """
    from velquor.tde import _ON_FAILURE, _choice

    _choice("on_failure", on_failure, _ON_FAILURE)
    tasks: list[dict[str, Any]] = []
    for k, p in enumerate(param_dicts):
        if not isinstance(p, Mapping):
            raise TypeError(f"param_dicts[{k}] must be a dict of TDEDisk arguments, got {type(p).__name__}")
        tasks.append({k: _plain(v) for k, v in p.items()})

    bar = None
    if progress:
        try:
            from tqdm.auto import tqdm  # type: ignore[import-untyped]
        except ImportError:
            warnings.warn("progress=True needs tqdm (pip install tqdm): running without a progress bar",
                          RuntimeWarning, stacklevel=2)  # fmt: skip
        else:
            bar = tqdm(total=len(tasks), desc="models", unit="model")

    own = executor is None
    if own:
        workers = max_workers if max_workers is not None else (os.cpu_count() or 1)
        executor = cf.ThreadPoolExecutor(max_workers=max(1, min(workers, len(tasks) or 1)))
    assert executor is not None
    results: list[GridResult | None] = [None] * len(tasks)
    try:
        futures: dict[Any, int] = {}
        for k, p in enumerate(tasks):
            try:
                futures[executor.submit(_task, k, p, on_failure)] = k
            except Exception as exc:  # noqa: BLE001 - e.g. an executor already shut down
                results[k] = GridResult(k, p, error=exc)
                if bar is not None:
                    bar.update(1)
        for fut, k in _as_completed(futures):
            try:
                res = fut.result()
            except BaseException as exc:  # noqa: BLE001 - a lost worker, a cancelled task, ...
                if isinstance(exc, (KeyboardInterrupt, SystemExit)):
                    raise
                res = GridResult(k, tasks[k], error=exc)
            results[k] = res
            if bar is not None:
                bar.update(1)
                if not res.ok:
                    bar.set_postfix_str(f"{sum(1 for r in results if r is not None and not r.ok)} failed")
    finally:
        if bar is not None:
            bar.close()
        if own:
            executor.shutdown(wait=True, cancel_futures=True)
    return [r if r is not None else GridResult(k, tasks[k], error=RuntimeError("no result")) for k, r in
            enumerate(results)]  # fmt: skip


def _as_completed(futures: dict[Any, int]) -> Iterator[tuple[Any, int]]:
    if not futures:
        return
    first = next(iter(futures))
    if isinstance(first, cf.Future):
        for fut in cf.as_completed(futures):
            yield fut, futures[fut]
    else:
        # Executors whose futures are not concurrent.futures.Future: wait in order.
        for fut, k in futures.items():
            yield fut, k


def failures(results: Iterable[GridResult]) -> list[GridResult]:
    """The failed models of a sweep."""
    return [r for r in results if not r.ok]



#: Columns of :func:`results_table` after the parameters: (field, dtype, summary key).
_RESULT_FIELDS = (
    ("peak_Mdot_acc_msun_yr", "f8"),
    ("t_peak_days", "f8"),
    ("M_end_msun", "f8"),
    ("late_time_slope", "f8"),
)


def results_table(results: Iterable[GridResult], pandas: bool = False) -> Any:
    """One row per model of a sweep: its parameters, its status and its key numbers.

    Parameters
    ----------
    results : iterable of GridResult
        What :func:`run_grid` returned.
    pandas : bool, optional
        Return a ``pandas.DataFrame`` (pandas must be installed) instead of a
        NumPy structured array.

    Returns
    -------
    numpy.ndarray or pandas.DataFrame
        Fields, in order:

        ``index``
            Position of the model in the sweep.
        one field per parameter
            Every key of any model's ``params``, in the order first seen, in
            the units :class:`~velquor.tde.TDEDisk` takes (M_sun, R_sun, days):
            booleans as ``bool`` and integers as ``int64`` when every model
            sets them, other real numbers as ``float64`` (NaN where a model did
            not set the parameter) and anything else as text (its ``str``;
            empty where not set).
        ``status``
            ``"ok"``, ``"incomplete"`` (the run ran out of steps before its
            end, see ``DiskRun.completed``), ``"truncated"`` (the native model
            failed and the run holds what it computed before, see
            ``DiskRun.failure``) or ``"failed"``.
        ``error``
            ``"TypeName: message"`` of a failed model, ``"STATUS_NAME: message"``
            of a truncated one, else empty.
        ``peak_Mdot_acc_msun_yr``, ``t_peak_days``, ``M_end_msun``, ``late_time_slope``
            Largest accretion rate [M_sun/yr] and its time [days after
            disruption], disk mass at the end [M_sun] and the slope
            d ln Mdot_acc / d ln t over the last decade, as in
            ``DiskRun.summary()``; NaN for a failed model.

    Raises
    ------
    ImportError
        ``pandas=True`` without pandas installed.
    """
    rows = list(results)
    for k, r in enumerate(rows):
        if not isinstance(r, GridResult):
            raise TypeError(f"results[{k}] must be a GridResult, got {type(r).__name__}")
    if pandas:
        try:
            import pandas as pd  # type: ignore[import-untyped]
        except ImportError:
            raise ImportError("pandas=True needs pandas (pip install pandas)") from None

    names: dict[str, None] = {}
    for r in rows:
        names.update(dict.fromkeys(r.params))
    missing = object()
    fields: list[tuple[str, Any]] = [("index", "i8")]
    columns: list[list[Any]] = [[r.index for r in rows]]
    for name in names:
        values = [r.params.get(name, missing) for r in rows]
        dtype, column = _param_column(values, missing)
        fields.append((name, dtype))
        columns.append(column)

    summaries = [{} if r.run is None else r.run.summary() for r in rows]
    status = [_status(r) for r in rows]
    errors = [r.error_message or _failure_text(r.run) for r in rows]
    fields += [("status", "U10"), ("error", f"U{max([len(e) for e in errors] + [1])}")]
    columns += [status, errors]
    for key, dtype in _RESULT_FIELDS:
        fields.append((key, dtype))
        columns.append([s.get(key, math.nan) for s in summaries])

    table = np.empty(len(rows), dtype=fields)
    for (name, _), column in zip(fields, columns):
        table[name] = column
    return pd.DataFrame(table) if pandas else table


def _failure_text(run: Any) -> str:
    failure = None if run is None else run.failure
    return "" if failure is None else f"{failure.status_name}: {failure.message}"


def _status(r: GridResult) -> str:
    if r.run is None:
        return "failed"
    if r.run.failure is not None:
        return "truncated"
    return "ok" if r.run.completed else "incomplete"


def _param_column(values: list[Any], missing: object) -> tuple[str, list[Any]]:
    """The dtype of one parameter's field, and its values filled in for that dtype."""
    present = [v for v in values if v is not missing]
    if present and len(present) == len(values) and all(isinstance(v, (bool, np.bool_)) for v in present):
        return "?", values
    integers = all(isinstance(v, numbers.Integral) and not isinstance(v, (bool, np.bool_)) for v in present)
    if integers and len(present) == len(values) and all(-(2**63) <= v < 2**63 for v in present):
        return "i8", values
    if all(isinstance(v, numbers.Real) and not isinstance(v, (bool, np.bool_)) for v in present):
        return "f8", [math.nan if v is missing else float(v) for v in values]
    text = ["" if v is missing else str(v) for v in values]
    return f"U{max([len(t) for t in text] + [1])}", text
