#!/usr/bin/env bash
# Time to stop and peak memory of kestran-extract on the files that attack
# time and memory (bench/make_stop_fixtures.cpp): each file is extracted once
# to its end (or until LIMIT seconds), then again with a Ctrl+C (SIGINT) after
# DELAY seconds, timing from the signal to the process's end.
#
#   BUILD=build-x bench/stop.sh
#
# Environment: BUILD (build folder), EXTRACT (another kestran-extract to
# measure, e.g. an older build's), FIXTURES (folder of the files, generated
# once), WORK (output folders), DELAY (seconds before the signal, default 1),
# LIMIT (seconds a run to its end may take, default 60), MEMORY (--memory).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
FIXTURES=${FIXTURES:-$BUILD/bench/stop-fixtures}
WORK=${WORK:-$BUILD/bench/stop-work}
DELAY=${DELAY:-1}
LIMIT=${LIMIT:-60}
MEMORY_ARGS=()
[ -n "${MEMORY:-}" ] && MEMORY_ARGS=(--memory "$MEMORY")

cmake --build "$BUILD" --target kestran-extract kestran_stop_fixtures -j2 >/dev/null
EXTRACT=${EXTRACT:-$BUILD/stage/bin/kestran-extract}
[ -f "$FIXTURES/.complete" ] || { "$BUILD/bench/kestran_stop_fixtures" "$FIXTURES" && touch "$FIXTURES/.complete"; }
mkdir -p "$WORK"
export HOME=$WORK/home
mkdir -p "$HOME/Documents"

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

# run FILE SIGNAL_AFTER: prints seconds to the end (or to the stop), exit status, peak RSS.
run() {
  local file=$1 after=$2 out=$WORK/out time_file=$WORK/time.txt
  rm -rf "$out" && mkdir -p "$out"
  local start; start=$(now)
  /usr/bin/time -v -o "$time_file" "$EXTRACT" -q "${MEMORY_ARGS[@]}" -o "$out" "$file" 2>"$WORK/stderr.txt" &
  local timer=$!
  local pid=""
  for _ in $(seq 100); do
    pid=$(cat "/proc/$timer/task/$timer/children" 2>/dev/null | awk '{print $1}' || true)  # the process may have ended already
    [ -n "$pid" ] && break
    kill -0 "$timer" 2>/dev/null || break
    sleep 0.01
  done
  local signalled=""
  if [ "$after" != "-" ]; then
    sleep "$after"
    if kill -0 "$pid" 2>/dev/null; then signalled=$(now); kill -INT "$pid"; fi
  else
    local waited=0
    while kill -0 "$pid" 2>/dev/null && [ "$waited" -lt $((LIMIT * 10)) ]; do sleep 0.1; waited=$((waited + 1)); done
    if kill -0 "$pid" 2>/dev/null; then signalled=$(now); kill -KILL "$pid"; fi
  fi
  local status=0
  wait "$timer" || status=$?
  local end; end=$(now)
  local peak; peak=$(awk -F: '/Maximum resident/{gsub(/ /,"",$2); print $2}' "$time_file")
  local files; files=$(find "$out" -type f | wc -l)
  if [ "$after" = "-" ]; then
    if [ -n "$signalled" ]; then
      printf '  %-22s to the end: still running after %s s (killed), peak %6s MiB\n' "$(basename "$file")" "$LIMIT" "$(mib "$peak")"
    else
      printf '  %-22s to the end: %7s s, status %d, %d file(s), peak %6s MiB\n' "$(basename "$file")" "$(seconds "$start" "$end")" "$status" "$files" "$(mib "$peak")"
    fi
  elif [ -n "$signalled" ]; then
    printf '  %-22s Ctrl+C after %s s: ended %6s s later, status %d, %d file(s), peak %6s MiB\n' "$(basename "$file")" "$after" "$(seconds "$signalled" "$end")" "$status" "$files" "$(mib "$peak")"
  else
    printf '  %-22s Ctrl+C after %s s: had already ended\n' "$(basename "$file")" "$after"
  fi
  sed 's/^/      /' "$WORK/stderr.txt" | head -3
}

echo "== kestran-extract ${MEMORY_ARGS[*]}"
for f in "$FIXTURES"/*.pdf; do
  run "$f" -
  run "$f" "$DELAY"
done
