"""Timing helper shared by the benchmark scripts (run them as `python benchmarks/<script>.py`)."""

import time


def best_of(repeats, fn):
    """Best wall time in seconds of `repeats` calls of `fn()`: the least disturbed run."""
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best
