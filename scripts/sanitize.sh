#!/usr/bin/env bash
# Build velquor with AddressSanitizer + UndefinedBehaviorSanitizer into its own
# virtual environment and run the test suite under it.
# Usage: bash scripts/sanitize.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

export VENV=${VENV:-.venv-asan}
export BUILD_DIR=${BUILD_DIR:-build/asan}
export SETUP_ARGS="-Db_sanitize=address,undefined -Db_lundef=false -Dbuildtype=debugoptimized"
FRESH=1 bash scripts/setup-venv.sh pytest scipy hypothesis matplotlib tqdm distributed mypy pandas astropy dust_extinction emcee corner dynesty

# The interpreter itself is not instrumented: preload the runtimes.  Leak
# detection is off because CPython keeps its own allocations alive at exit.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONMALLOC=malloc
export MPLBACKEND=Agg
"$VENV/bin/python" -m pytest -q -p no:cacheprovider tests "$@"
