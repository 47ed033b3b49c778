#!/usr/bin/env bash
# Build velquor into a fresh virtual environment and run the test suite against
# the installed package (never the source tree).  Fails when a test fails or
# when no test ran.  Usage: bash scripts/test.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

export VENV=${VENV:-.venv}
FRESH=1 bash scripts/setup-venv.sh pytest scipy hypothesis matplotlib tqdm distributed mypy pandas astropy dust_extinction emcee corner dynesty
"$VENV/bin/python" -m pytest -q tests "$@"
