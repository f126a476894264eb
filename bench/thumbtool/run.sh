#!/usr/bin/env bash
# Builds thumbtool optimised and compares it with its peers, then runs it on hostile documents:
#   bench/thumbtool/run.sh [ROUNDS]
# To compare with another build (e.g. an older commit's) in the same runs, pass its thumbtool in
# THUMBTOOL_OTHER.
set -euo pipefail
cd "$(dirname "$0")/../.."
ZEMBREL_SETUP_EXTRA=bench scripts/setup
cmake --preset release >/dev/null
cmake --build --preset release --target thumbtool >/dev/null
python3 bench/thumbtool/bench.py build/release/thumbtool/thumbtool "${1:-15}"
exec python3 bench/thumbtool/hostile.py build/release/thumbtool/thumbtool ${THUMBTOOL_OTHER:+"$THUMBTOOL_OTHER"}
