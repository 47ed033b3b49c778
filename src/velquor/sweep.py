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
for it.
"""

from __future__ import annotations

import concurrent.futures as cf
import itertools
import os
from collections.abc import Iterable, Iterator, Mapping
from typing import Any

__all__ = ["GridResult", "run_grid", "grid", "run_model", "failures"]


class GridResult:
    """Outcome of one model of a sweep.

    Attributes
    ----------
    index : int
        Position of the model in the input sequence.
    params : dict
        The parameter dictionary the model was built from.
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


def run_model(params: Mapping[str, Any]) -> Any:
    """Build :class:`~velquor.tde.TDEDisk` from ``params`` and run it.

    This is what each task of a sweep executes; it takes and returns only
    picklable objects, so it runs in threads, processes and Dask workers alike.

    Returns
    -------
    DiskRun
    """
    import warnings

    from velquor.tde import TDEDisk

    model = TDEDisk(**params)
    with warnings.catch_warnings():
        # The truncation is visible in the result (``completed``); a sweep
        # should not print one warning per model.
        warnings.simplefilter("ignore", RuntimeWarning)
        return model.run()


def _task(index: int, params: dict[str, Any]) -> GridResult:
    # Never raises: the error travels back in the result.
    try:
        return GridResult(index, params, run=run_model(params))
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

    A scalar value is held fixed; a list, tuple or array is an axis.  NumPy
    scalars and 0-d arrays are scalars.

    Examples
    --------
    >>> grid(M_BH=[1e6, 1e7], alpha=[0.01, 0.1], fallback=False)  # doctest: +SKIP
    [{'M_BH': 1e6, 'alpha': 0.01, 'fallback': False}, ...]
    """
    names = list(axes)
    values = [list(v) if _is_axis(v) else [v] for v in axes.values()]
    return [dict(zip(names, combo)) for combo in itertools.product(*values)]


def _is_axis(v: Any) -> bool:
    # NumPy scalars have __array__ too, but no length: only arrays of rank >= 1 are axes.
    return isinstance(v, (list, tuple, range)) or (hasattr(v, "__array__") and getattr(v, "ndim", 1) > 0)


def run_grid(
    param_dicts: Iterable[Mapping[str, Any]],
    executor: cf.Executor | None = None,
    progress: bool = False,
    *,
    max_workers: int | None = None,
) -> list[GridResult]:
    """Run one disk model per parameter dictionary, concurrently.

    Parameters
    ----------
    param_dicts : iterable of dict
        Keyword arguments of :class:`~velquor.tde.TDEDisk`, one dictionary per
        model, with plain values (numbers, strings, booleans, paths).
    executor : concurrent.futures.Executor, optional
        Where the models run: a ``ThreadPoolExecutor`` (the integrator releases
        the interpreter lock, so threads run in parallel), a
        ``ProcessPoolExecutor``, or ``distributed.Client.get_executor()``.  By
        default a thread pool of ``max_workers`` threads is created for the
        sweep and shut down after it.
    progress : bool, optional
        Show a tqdm progress bar (needs ``tqdm``).
    max_workers : int, optional
        Size of the default thread pool; default ``os.cpu_count()``.  Ignored
        when ``executor`` is given.

    Returns
    -------
    list of GridResult
        In the order of ``param_dicts``.  ``result.ok`` tells whether the model
        ran; ``result.run`` is its :class:`~velquor.tde.DiskRun`,
        ``result.error`` its exception otherwise.
    """
    tasks: list[dict[str, Any]] = []
    for k, p in enumerate(param_dicts):
        if not isinstance(p, Mapping):
            raise TypeError(f"param_dicts[{k}] must be a dict of TDEDisk arguments, got {type(p).__name__}")
        tasks.append(dict(p))

    bar = None
    if progress:
        try:
            from tqdm.auto import tqdm  # type: ignore[import-untyped]
        except ImportError:
            raise ImportError("progress=True needs tqdm (pip install tqdm)") from None
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
                futures[executor.submit(_task, k, p)] = k
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

