"""Shared fixtures."""

import subprocess
import sys
import textwrap
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


@pytest.fixture
def run_isolated():
    """run(code) runs `code` in a fresh interpreter (a memory fault must not take the
    suite down) and returns its standard output; a non-zero exit fails the test."""

    def run(code):
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                              timeout=120)
        assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
        return proc.stdout

    return run
