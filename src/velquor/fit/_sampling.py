"""Sampler plumbing: pools, progress, the chain file, the stopping rule.

Kept apart from the model so that each piece can be tested alone.
"""

from __future__ import annotations

import concurrent.futures
import hashlib
import json
import math
import os
import sys
import time
from typing import Any, Callable, Iterable

import numpy as np

__all__ = ["make_pool", "Progress", "ChainFile", "autocorrelation_converged", "fingerprint"]


# ---------------------------------------------------------------------------
# Pools
# ---------------------------------------------------------------------------


def _apply_chunk(fn: Callable[[Any], Any], chunk: list[Any]) -> list[Any]:
    return [fn(x) for x in chunk]


class ChunkedMap:
    """``map`` over an executor in a few chunks (one task per worker), keeping the order.

    One task per worker instead of one per walker: less scheduling, and for
    processes one pickled function per chunk.
    """

    def __init__(self, executor: concurrent.futures.Executor, n_chunks: int) -> None:
        self.executor = executor
        self.n_chunks = max(1, int(n_chunks))

    def map(self, fn: Callable[[Any], Any], iterable: Iterable[Any]) -> list[Any]:
        items = list(iterable)
        if not items:
            return []
        k = min(self.n_chunks, len(items))
        bounds = np.linspace(0, len(items), k + 1).astype(int)
        futures = [self.executor.submit(_apply_chunk, fn, items[a:b]) for a, b in zip(bounds[:-1], bounds[1:])]
        out: list[Any] = []
        for f in futures:
            out.extend(f.result())
        return out


def make_pool(pool: Any, n_workers: int | None) -> tuple[Any, Callable[[], None]]:
    """A ``map`` provider for a pool argument, and the function that releases it.

    ``None`` or ``"serial"``: no pool (evaluation in this thread).  ``"threads"``:
    a thread pool of ``n_workers`` (default: the number of CPUs) — the disk
    integration and the photometry release the interpreter lock, so walkers
    run in parallel.  ``"processes"``: a process pool (spawned interpreters,
    each rebuilding the fit once).  An ``Executor`` (thread, process, or
    ``distributed.Client().get_executor()``) or a Dask ``Client`` itself is used
    as it is and not shut down; any other object with a ``map`` method (e.g. a
    ``multiprocessing.Pool``) is passed through.
    """
    if n_workers is not None and (isinstance(n_workers, bool) or not isinstance(n_workers, int) or n_workers < 1):
        raise ValueError(f"n_workers must be a positive integer, got {n_workers!r}")
    nothing: Callable[[], None] = lambda: None  # noqa: E731
    if pool is None or pool == "serial":
        return None, nothing
    n = n_workers or os.cpu_count() or 1
    if isinstance(pool, str):
        if pool == "threads":
            if n == 1:
                return None, nothing
            ex: concurrent.futures.Executor = concurrent.futures.ThreadPoolExecutor(n, thread_name_prefix="velquor-fit")
        elif pool == "processes":
            import multiprocessing

            ex = concurrent.futures.ProcessPoolExecutor(n, mp_context=multiprocessing.get_context("spawn"))
        else:
            raise ValueError(f"pool must be None, 'serial', 'threads', 'processes', an Executor or a Dask client, got {pool!r}")
        return ChunkedMap(ex, n), lambda: ex.shutdown(wait=True, cancel_futures=True)
    if hasattr(pool, "get_executor") and not hasattr(pool, "submit"):  # a Dask client
        return ChunkedMap(pool.get_executor(), n_workers or _dask_workers(pool)), nothing
    if isinstance(pool, concurrent.futures.Executor) or hasattr(pool, "submit"):
        return ChunkedMap(pool, n), nothing
    if hasattr(pool, "map"):
        return pool, nothing
    raise TypeError(f"pool must be None, 'threads', 'processes', an Executor, a Dask client or have a map method, "
                    f"got {type(pool).__name__}")  # fmt: skip


def _dask_workers(client: Any) -> int:
    try:
        return max(1, sum(int(w.get("nthreads", 1)) for w in client.scheduler_info()["workers"].values()))
    except Exception:  # noqa: BLE001 - a guess is enough
        return os.cpu_count() or 1


# ---------------------------------------------------------------------------
# Progress
# ---------------------------------------------------------------------------


class Progress:
    """A progress bar of sampling steps: tqdm when installed, else a line on stderr now and then."""

    def __init__(self, total: int, enabled: bool, desc: str = "sampling", initial: int = 0) -> None:
        self.enabled = bool(enabled)
        self.total, self.n, self.desc = total, initial, desc
        self._bar = None
        self._last = 0.0
        self._note = ""
        if not self.enabled:
            return
        try:
            from tqdm.auto import tqdm
        except ImportError:
            return
        self._bar = tqdm(total=total, initial=initial, desc=desc, unit="step", dynamic_ncols=True, file=sys.stderr)

    def update(self, n: int = 1) -> None:
        self.n += n
        if not self.enabled:
            return
        if self._bar is not None:
            self._bar.update(n)
            return
        now = time.monotonic()
        if now - self._last > 5.0 or self.n >= self.total:
            self._last = now
            print(f"{self.desc}: {self.n}/{self.total} steps{self._note}", file=sys.stderr, flush=True)

    def note(self, text: str) -> None:
        self._note = f" ({text})"
        if self._bar is not None:
            self._bar.set_postfix_str(text, refresh=False)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


# ---------------------------------------------------------------------------
# The stopping rule
# ---------------------------------------------------------------------------


def autocorrelation_converged(tau: np.ndarray, previous: np.ndarray | None, n_steps: int, factor: float,
                              rtol: float) -> bool:  # fmt: skip
    """The stopping rule: every tau finite, ``n_steps > factor * tau`` and tau changed by less than
    ``rtol`` (relative) since the previous estimate."""
    if previous is None or not np.all(np.isfinite(tau)) or not np.all(tau > 0):
        return False
    return bool(np.all(factor * tau < n_steps) and np.all(np.abs(previous - tau) < rtol * tau))


# ---------------------------------------------------------------------------
# The chain file
# ---------------------------------------------------------------------------


def fingerprint(recipe: dict[str, Any]) -> str:
    """A hash of what defines a fit (data, priors, fixed values, options)."""
    text = json.dumps(recipe, sort_keys=True, default=repr)
    return hashlib.sha256(text.encode()).hexdigest()[:32]


class ChainFile:
    """An ensemble chain on disk (NumPy ``.npz``), written atomically so that a fit can be resumed.

    Holds the walkers' positions ``chain`` [steps, walkers, dim] (sampler
    coordinates), ``log_prob`` [steps, walkers], acceptance counts, the random
    state of the sampler, the coordinate names, the autocorrelation estimates
    made so far and the fingerprint of the fit it belongs to.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)

    def exists(self) -> bool:
        return os.path.exists(self.path)

    def save(self, backend: Any, names: tuple[str, ...], fit_id: str, tau_history: list[tuple[int, np.ndarray]],
             elapsed: float) -> None:  # fmt: skip
        it = backend.iteration
        state = backend.random_state
        arrays: dict[str, Any] = {
            "chain": backend.chain[:it],
            "log_prob": backend.log_prob[:it],
            "accepted": backend.accepted,
            "iteration": np.array(it),
            "names": np.array(names),
            "fingerprint": np.array(fit_id),
            "tau_steps": np.array([s for s, _ in tau_history], dtype=np.int64),
            "tau": np.array([t for _, t in tau_history], dtype=np.float64).reshape(len(tau_history), len(names)),
            "elapsed": np.array(elapsed),
        }
        if state is not None:
            arrays.update(rs_kind=np.array(state[0]), rs_key=np.asarray(state[1]), rs_pos=np.array(state[2]),
                          rs_gauss=np.array(state[3]), rs_cached=np.array(state[4]))  # fmt: skip
        tmp = f"{self.path}.tmp-{os.getpid()}"
        with open(tmp, "wb") as f:
            np.savez(f, **arrays)
        os.replace(tmp, self.path)

    def load(self, names: tuple[str, ...], fit_id: str) -> tuple[Any, list[tuple[int, np.ndarray]], float]:
        """An emcee backend holding the saved chain, the tau history and the elapsed seconds.

        Raises ValueError when the file belongs to another fit.
        """
        import emcee

        try:
            z = np.load(self.path, allow_pickle=False)
        except (OSError, ValueError) as exc:
            raise ValueError(f"cannot read the chain file {self.path!r}: {exc}") from None
        with z:
            try:
                saved_names = tuple(str(x) for x in z["names"])
                saved_id = str(z["fingerprint"])
                chain, log_prob, accepted = z["chain"], z["log_prob"], z["accepted"]
                it = int(z["iteration"])
                tau_steps, tau = z["tau_steps"], z["tau"]
                elapsed = float(z["elapsed"])
                rs = None
                if "rs_kind" in z.files:
                    rs = (str(z["rs_kind"]), z["rs_key"], int(z["rs_pos"]), int(z["rs_gauss"]), float(z["rs_cached"]))
            except KeyError as exc:
                raise ValueError(f"{self.path!r} is not a velquor chain file (no {exc.args[0]!r})") from None
        if saved_names != names or saved_id != fit_id:
            raise ValueError(
                f"the chain in {self.path!r} belongs to another fit (different data, priors, fixed values or "
                f"options; its parameters: {', '.join(saved_names)}): remove it or choose another file"
            )
        if chain.ndim != 3 or chain.shape[0] != it or it < 1:
            raise ValueError(f"the chain file {self.path!r} is damaged (shape {chain.shape}, {it} steps)")
        backend = emcee.backends.Backend()
        backend.reset(chain.shape[1], chain.shape[2])
        backend.chain = np.array(chain)
        backend.log_prob = np.array(log_prob)
        backend.accepted = np.array(accepted, dtype=np.float64)
        backend.iteration = it
        backend.random_state = rs
        history = [(int(s), np.array(t)) for s, t in zip(tau_steps, tau)]
        return backend, history, elapsed
