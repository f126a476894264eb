#!/usr/bin/env bash
# Builds thumbtool optimised and compares it with its peers and with the build of another commit
# (main's, by default), alternating, then runs both on hostile documents:
#   bench/thumbtool/run.sh [ROUNDS]
# THUMBTOOL_BASE names the commit to compare with (default main; empty: none). To compare with a
# thumbtool built elsewhere instead, pass it in THUMBTOOL_OTHER.
set -euo pipefail
cd "$(dirname "$0")/../.."
ZEMBREL_SETUP_EXTRA=bench scripts/setup
cmake --preset release >/dev/null
cmake --build --preset release --target thumbtool >/dev/null
base=${THUMBTOOL_BASE-main}
if [[ -z "${THUMBTOOL_OTHER:-}" && -n "$base" ]] && git rev-parse -q --verify "$base^{commit}" >/dev/null; then
  # The other commit's tree, built beside ours with the same preset (and the same compiler cache).
  other=build/bench-base
  rm -rf "$other" && mkdir -p "$other"
  git archive "$base" | tar -x -C "$other"
  (cd "$other" && cmake --preset release >/dev/null && cmake --build --preset release --target thumbtool >/dev/null)
  export THUMBTOOL_OTHER=$PWD/$other/build/release/thumbtool/thumbtool
fi
python3 bench/thumbtool/bench.py build/release/thumbtool/thumbtool "${1:-15}"
exec python3 bench/thumbtool/hostile.py build/release/thumbtool/thumbtool ${THUMBTOOL_OTHER:+"$THUMBTOOL_OTHER"}
