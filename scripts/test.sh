#!/usr/bin/env bash
# Build velquor into a fresh virtual environment and run the test suite against
# the installed package (never the source tree).  Fails when a test fails or
# when no test ran.  Usage: bash scripts/test.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

# .python-version selects CPython 3.12 through pyenv when it is installed.
PYTHON=${PYTHON:-python}
"$PYTHON" -c 'import sys; assert sys.version_info >= (3, 12), sys.version' || {
    echo "velquor needs CPython >= 3.12 (set PYTHON=/path/to/python3.12)" >&2; exit 2; }

VENV=${VENV:-.venv}
"$PYTHON" -m venv --clear "$VENV"
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q meson-python meson ninja numpy pytest scipy hypothesis
PATH="$PWD/$VENV/bin:$PATH" "$VENV/bin/python" -m pip install -q --no-build-isolation .
"$VENV/bin/python" -m pytest -q tests "$@"
