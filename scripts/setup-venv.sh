#!/usr/bin/env bash
# Create or update a virtual environment with velquor built from this checkout
# and installed into it (never run from the source tree).
#
# Usage: bash scripts/setup-venv.sh [extra pip packages...]
#   VENV       environment directory (default .venv)
#   FRESH=1    delete and recreate the environment first
#   BUILD_DIR  keep the meson build here, so a rebuild recompiles only what
#              changed (default: a temporary directory, a clean build)
#   SETUP_ARGS extra `meson setup` options, space-separated (e.g. -Db_sanitize=address)
#   PYTHON     interpreter to create it with (default: python; .python-version
#              selects CPython 3.12 through pyenv when it is installed)
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python}
VENV=${VENV:-.venv}
"$PYTHON" -c 'import sys; assert sys.version_info >= (3, 12), sys.version' 2>/dev/null || {
    echo "velquor needs CPython >= 3.12 (set PYTHON=/path/to/python3.12)" >&2; exit 2; }

if [[ "${FRESH:-0}" == 1 || ! -x "$VENV/bin/python" ]]; then
    "$PYTHON" -m venv --clear "$VENV"
    "$VENV/bin/python" -m pip install -q --upgrade pip
fi
"$VENV/bin/python" -m pip install -q meson-python meson ninja numpy "$@"

build_args=()
if [[ -n "${BUILD_DIR:-}" ]]; then
    build_args=(-Cbuild-dir="$BUILD_DIR")
fi
for arg in ${SETUP_ARGS:-}; do
    build_args+=(-Csetup-args="$arg")
done
case "$VENV" in /*) venv_bin=$VENV/bin ;; *) venv_bin=$PWD/$VENV/bin ;; esac
PATH="$venv_bin:$PATH" "$VENV/bin/python" -m pip install -q --no-build-isolation \
    --force-reinstall --no-deps "${build_args[@]}" .
