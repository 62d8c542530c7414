#!/usr/bin/env bash
# Times the real main window: adding a folder of N small PDFs (several runs,
# the list cleared between them) and one job over the rows, with the longest
# stalls of the event loop. Runs on a private X server unless DISPLAY is set.
#
#   bench/window.sh              # build dir ./build, N = 1000, 3 load runs
#   BUILD=build-x N=500 RUNS=5 bench/window.sh
#   bench/window.sh preview      # rows of 600 dpi scans clicked in the preview,
#                                # RUNS rounds (default 3): page times and stalls
#
# Environment: BUILD (build folder), N (rows), RUNS (load runs).
# Not part of `make test`: timings belong here, never in the tests.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
N=${N:-1000}
RUNS=${RUNS:-3}
MODE=${1:-bench}
case $MODE in
  bench) ARGS=(bench "$N" "$RUNS") ;;
  preview) ARGS=(preview "$RUNS") ;;
  *) echo "window.sh: unknown mode $MODE (bench or preview)" >&2; exit 2 ;;
esac

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$BUILD" --target kestran_window_driver kestran kestran_theme -j"$(nproc)" >/dev/null
DRIVER=$BUILD/bench/kestran_window_driver

# The driver makes its own temporary HOME; these keep GTK quiet without a session.
export GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1
if [ -n "${DISPLAY:-}" ]; then
  exec "$DRIVER" "${ARGS[@]}"
fi
command -v xvfb-run >/dev/null || { echo "window.sh: xvfb-run is missing (scripts/install-deps)" >&2; exit 1; }
exec xvfb-run -a -s "-screen 0 1366x768x24" "$DRIVER" "${ARGS[@]}"
