"""Shared fixtures."""

import threading

import pytest


@pytest.fixture
def start_thread():
    """start(fn, *args, **kw) runs fn in a new thread; returns (thread, out) where out
    receives "result" or "error" once the thread has finished."""

    def start(fn, *args, **kw):
        out = {}

        def target():
            try:
                out["result"] = fn(*args, **kw)
            except BaseException as exc:  # reported through `out`
                out["error"] = exc

        thread = threading.Thread(target=target)
        thread.start()
        return thread, out

    return start
