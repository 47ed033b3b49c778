"""Shared fixtures."""

import pathlib
import subprocess
import sys
import textwrap
import threading

import pytest

# Helper modules shared by several test files (native_records) live next to
# them; with --import-mode=importlib this directory is not on the path by itself.
sys.path.insert(0, str(pathlib.Path(__file__).parent))


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


# ---------------------------------------------------------------------------
# No network: the suite must pass on a machine without one.  Connections to
# anything but this machine (loopback, Unix sockets) are refused, so a test that
# reached out would fail here rather than download silently.
# ---------------------------------------------------------------------------

_LOCAL_NAMES = {"localhost", "localhost.localdomain", "", None}


def _is_local(address):
    import ipaddress
    import socket

    if not isinstance(address, tuple):  # AF_UNIX paths and abstract names
        return True
    host = address[0]
    if isinstance(host, bytes):
        host = host.decode()
    if host in _LOCAL_NAMES or host == socket.gethostname():
        return True
    try:
        return ipaddress.ip_address(host.split("%")[0]).is_loopback
    except ValueError:
        return False


@pytest.fixture(autouse=True)
def no_network(monkeypatch):
    import socket

    def refuse(what, address):
        raise PermissionError(f"network access refused in the test suite: {what} {address!r}")

    real_connect, real_connect_ex = socket.socket.connect, socket.socket.connect_ex
    real_getaddrinfo = socket.getaddrinfo

    def connect(self, address):
        if not _is_local(address):
            refuse("connect", address)
        return real_connect(self, address)

    def connect_ex(self, address):
        if not _is_local(address):
            refuse("connect", address)
        return real_connect_ex(self, address)

    def getaddrinfo(host, *args, **kwargs):
        if not _is_local((host,)):
            refuse("name lookup", host)
        return real_getaddrinfo(host, *args, **kwargs)

    monkeypatch.setattr(socket.socket, "connect", connect)
    monkeypatch.setattr(socket.socket, "connect_ex", connect_ex)
    monkeypatch.setattr(socket, "getaddrinfo", getaddrinfo)
