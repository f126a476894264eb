#!/usr/bin/env bash
# Builds thumbtool optimised and compares it with its peers: bench/thumbtool/run.sh [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/../.."
ZEMBREL_SETUP_EXTRA=bench scripts/setup
cmake --preset release >/dev/null
cmake --build --preset release --target thumbtool >/dev/null
exec python3 bench/thumbtool/bench.py build/release/thumbtool/thumbtool "${1:-15}"
