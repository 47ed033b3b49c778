#!/usr/bin/env bash
# Run velquor's main job: the one-zone disk of a tidal disruption event.
# On first use this creates the virtual environment .venv-run and builds the
# package into it; afterwards it rebuilds (incrementally) only when a source
# file changed.  With no arguments it runs the reference disruption (1e6 M_sun
# black hole, Sun-like star, fallback on) and writes velquor_tde.png and
# velquor_tde.csv to the current directory.
# Usage: bash scripts/run.sh [velquor options...]   (bash scripts/run.sh --help)
set -euo pipefail
here=$(pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

export VENV=${VENV:-.venv-run}
stamp=$VENV/.velquor-installed
if [[ ! -x "$VENV/bin/velquor" || ! -e "$stamp" ]] ||
   [[ -n "$(find src native meson.build pyproject.toml -newer "$stamp" -print -quit)" ]]; then
    BUILD_DIR=${BUILD_DIR:-build/run} bash scripts/setup-venv.sh matplotlib astropy dust_extinction scipy emcee corner >&2
    touch "$stamp"
fi
case "$VENV" in /*) venv=$VENV ;; *) venv=$root/$VENV ;; esac
cd "$here"
exec "$venv/bin/velquor" "$@"
