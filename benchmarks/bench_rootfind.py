"""Root finder: time per solve and per evaluation, baseline and ours side by side.

Python callables: scipy.optimize.brentq against py_brent_root (same bracket) and
py_find_root (guess at the bracket's midpoint, expanding to the bracket).
Native callbacks: the module's exported find_root called from C++ with the
interpreter lock released (as the integrator calls it) and held, and the solver
header compiled without any interpreter (the pure numerics).  The native loops
live in bench_rootfind_native.cpp, compiled here with the system C++ compiler.

    python benchmarks/bench_rootfind.py [--quick]
"""

import contextlib
import ctypes
import math
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import threading
import timeit

from scipy.optimize import brentq

from velquor.math_utils import _tarnwick as tw

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
XTOL = 1e-12

# id (value() in the C++ file computes the same expressions), name, f, bracket
PROBLEMS = [
    (0, "x^3 - 2x - 5", lambda x: x * x * x - 2.0 * x - 5.0, 2.0, 3.0),
    (1, "cos x - x", lambda x: math.cos(x) - x, 0.0, 1.0),
    (2, "exp x - 1e3", lambda x: math.exp(x) - 1e3, 0.0, 10.0),
    (3, "sin x - x/2", lambda x: math.sin(x) - x / 2.0, math.pi / 2, math.pi),
    (4, "x^2 - (1-x)^10", lambda x: x * x - (1.0 - x) ** 10, 0.0, 1.0),
    (5, "atan(x - 0.3)", lambda x: math.atan(x - 0.3), -5.0, 10.0),
]


def find_args(a, b):
    """py_find_root / find_root arguments after f: guess mid-bracket, bounds = bracket."""
    return ((a + b) / 2, (b - a) / 8, 2.0, 10, a, b, 0.0, XTOL, 0.0, 200)


def build_native():
    out = HERE / "results" / "libbench_rootfind.so"
    out.parent.mkdir(exist_ok=True)
    src = HERE / "bench_rootfind_native.cpp"
    header = ROOT / "native" / "include" / "velquor" / "core" / "brent.hpp"
    if not out.exists() or out.stat().st_mtime < max(src.stat().st_mtime, header.stat().st_mtime):
        cxx = shutil.which("c++") or shutil.which("g++")
        subprocess.run([cxx, "-O3", "-std=c++20", "-fPIC", "-shared", "-fvisibility=hidden", "-Wall", "-Wextra",
                        f"-I{ROOT / 'native' / 'include'}", str(src), "-o", str(out)], check=True)
    lib = ctypes.CDLL(str(out))
    d, i, i64, pd = ctypes.c_double, ctypes.c_int, ctypes.c_int64, ctypes.POINTER(ctypes.c_double)
    lib.bench_core.restype = d
    lib.bench_core.argtypes = [i, d, d, d, d, i64, pd, pd]
    lib.bench_module.restype = d
    lib.bench_module.argtypes = [ctypes.c_void_p, i, d, d, d, d, i64, pd, pd]
    return lib


def exported(name):
    capsule = tw.__native_api__[name]
    get_name = ctypes.PYFUNCTYPE(ctypes.c_char_p, ctypes.py_object)(("PyCapsule_GetName", ctypes.pythonapi))
    get_ptr = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.c_char_p)(
        ("PyCapsule_GetPointer", ctypes.pythonapi))
    return get_ptr(capsule, get_name(capsule))


def best_per_call(fn, budget):
    """Best-of-5 seconds per call, with the call count sized to ~budget seconds."""
    number = max(1, int(budget / max(timeit.timeit(fn, number=3) / 3, 1e-9)))
    return min(timeit.repeat(fn, number=number, repeat=5)) / number


@contextlib.contextmanager
def busy_python_thread():
    """Another thread running Python code, competing for the interpreter lock."""
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            pass

    thread = threading.Thread(target=spin)
    thread.start()
    try:
        yield
    finally:
        stop.set()
        thread.join()


def count_evals(call, f):
    n = 0

    def counted(x):
        nonlocal n
        n += 1
        return f(x)

    result = call(counted)
    return n, result


def main(quick=False):
    budget = 0.02 if quick else 0.2
    n_native = 2_000 if quick else 50_000
    lib = build_native()
    find_root_ptr = exported("find_root")
    scalar = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_double, ctypes.c_void_p, ctypes.POINTER(ctypes.c_double))
    argtypes = [scalar, ctypes.c_void_p, ctypes.c_double, ctypes.c_double, ctypes.c_double, ctypes.c_int32,
                ctypes.c_double, ctypes.c_double, ctypes.c_double, ctypes.c_double, ctypes.c_double,
                ctypes.c_int32, ctypes.POINTER(ctypes.c_double)]
    find_root_nogil = ctypes.CFUNCTYPE(ctypes.c_int32, *argtypes)(find_root_ptr)
    bench_module_gil = ctypes.PYFUNCTYPE(ctypes.c_double, *lib.bench_module.argtypes)(
        ctypes.cast(lib.bench_module, ctypes.c_void_p).value)

    rows = []
    for pid, name, f, a, b in PROBLEMS:
        fa, fb = f(a), f(b)
        args = find_args(a, b)
        n_bq, r_bq = count_evals(lambda g: brentq(g, a, b, xtol=XTOL), f)
        n_br, (s_br, r_br) = count_evals(lambda g: tw.py_brent_root(g, a, b, fa, fb, XTOL, 0.0, 200), f)
        n_fr, (s_fr, r_fr) = count_evals(lambda g: tw.py_find_root(g, *args), f)
        assert s_br == 0 and s_fr == 0, (name, s_br, s_fr)
        assert abs(r_br - r_bq) < 4 * XTOL and abs(r_fr - r_bq) < 4 * XTOL, name

        # Correctness of the native path: ctypes callback, lock released.
        root = ctypes.c_double()
        status = find_root_nogil(scalar(lambda x, _, out: out.__setitem__(0, f(x)) or 0), None, *args,
                                 ctypes.byref(root))
        assert (status, root.value) == (s_fr, r_fr), name

        t_bq = best_per_call(lambda: brentq(f, a, b, xtol=XTOL), budget)
        t_br = best_per_call(lambda: tw.py_brent_root(f, a, b, fa, fb, XTOL, 0.0, 200), budget)
        t_fr = best_per_call(lambda: tw.py_find_root(f, *args), budget)

        evals, mean = ctypes.c_double(), ctypes.c_double()
        native = {}
        native_calls_nogil = lambda: lib.bench_module(find_root_ptr, pid, *args[:2], *args[4:6],  # noqa: E731
                                                      n_native, ctypes.byref(evals), ctypes.byref(mean))
        for label, call in (("core", lambda: lib.bench_core(pid, *args[:2], *args[4:6], n_native,
                                                                ctypes.byref(evals), ctypes.byref(mean))),
                            ("nogil", native_calls_nogil),
                            ("gil", lambda: bench_module_gil(find_root_ptr, pid, *args[:2], *args[4:6], n_native,
                                                                 ctypes.byref(evals), ctypes.byref(mean)))):
            ns = min(call() for _ in range(5))
            assert ns > 0 and math.isclose(mean.value, r_fr, rel_tol=1e-12) and evals.value == n_fr, (name, label, mean.value, evals.value)
            native[label] = (ns, evals.value)
        with busy_python_thread():
            native["busy"] = (min(native_calls_nogil() for _ in range(5)), evals.value)
        rows.append((name, n_bq, n_br, n_fr, t_bq, t_br, t_fr, native))

    print(f"Python {sys.version.split()[0]} on {sysconfig.get_platform()}; xtol {XTOL:g}; "
          "best of 5 repeats; times per solve (per evaluation)\n")
    print("Python callables                  evaluations        microseconds per solve (per evaluation)")
    print(f"{'problem':<16} {'brentq':>6} {'brent':>6} {'find':>6}   {'brentq':>16} {'py_brent_root':>16} "
          f"{'py_find_root':>16}   {'brentq/brent':>12}")
    for name, n_bq, n_br, n_fr, t_bq, t_br, t_fr, _ in rows:
        cell = lambda t, n: f"{t * 1e6:6.2f} ({t * 1e6 / n:5.3f})"  # noqa: E731
        print(f"{name:<16} {n_bq:>6} {n_br:>6} {n_fr:>6}   {cell(t_bq, n_bq):>16} {cell(t_br, n_br):>16} "
              f"{cell(t_fr, n_fr):>16}   {t_bq / t_br:11.2f}x")

    print("\nNative callbacks (find_root, guess mid-bracket)   nanoseconds per solve (per evaluation)")
    print(f"{'problem':<16} {'evals':>5}  {'header core':>14} {'module, no lock':>15} {'+ busy thread':>15} "
          f"{'lock held':>15}  {'py_find_root/module':>19}")
    for name, _, _, _, _, _, t_fr, native in rows:
        n = native["core"][1]
        cell = lambda key: f"{native[key][0]:6.0f} ({native[key][0] / n:5.1f})"  # noqa: E731
        print(f"{name:<16} {n:>5.0f}  {cell('core'):>14} {cell('nogil'):>15} {cell('busy'):>15} "
              f"{cell('gil'):>15}  {t_fr * 1e9 / native['nogil'][0]:18.0f}x")
    print("\nheader core: the solver header compiled with no interpreter at all.  module, no lock: the\n"
          "exported find_root called from C++ with the interpreter lock released, as the integrator\n"
          "calls it; each evaluation takes the lock for a moment to ask whether an error is pending.\n"
          "+ busy thread: the same while another thread runs Python.  lock held: called with the lock.")


if __name__ == "__main__":
    main(quick="--quick" in sys.argv[1:])
