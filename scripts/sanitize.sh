#!/usr/bin/env bash
# Build velquor with AddressSanitizer + UndefinedBehaviorSanitizer into its own
# virtual environment and run the test suite under it.
# Usage: bash scripts/sanitize.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python}
VENV=${VENV:-.venv-asan}
"$PYTHON" -m venv --clear "$VENV"
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q meson-python meson ninja numpy pytest scipy hypothesis
PATH="$PWD/$VENV/bin:$PATH" "$VENV/bin/python" -m pip install -q --no-build-isolation . \
    -Cbuild-dir=build/asan \
    -Csetup-args=-Db_sanitize=address,undefined \
    -Csetup-args=-Db_lundef=false \
    -Csetup-args=-Dbuildtype=debugoptimized

# The interpreter itself is not instrumented: preload the runtimes.  Leak
# detection is off because CPython keeps its own allocations alive at exit.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONMALLOC=malloc
"$VENV/bin/python" -m pytest -q -p no:cacheprovider tests "$@"
