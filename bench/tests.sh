#!/usr/bin/env bash
# What the test suite costs before any test runs: the CPU time (user + sys)
# each test binary spends starting (registration, static objects, for the
# windows also its Xvfb and the toolkit) with no test selected, the best of
# three, and the number of CTest processes. FULL=1 also times the whole CTest
# run as `make test` starts it (wall and CPU of every process).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${BUILD_DIR:-$here/../build}"
export GSETTINGS_BACKEND=memory
for exe in "$build"/tests/kestran_*_tests; do
  best=""
  for _ in 1 2 3; do
    cpu=$(/usr/bin/time -f '%U %S' "$exe" --gtest_filter=NONE 2>&1 >/dev/null | tail -1 | awk '{print $1 + $2}')
    best=$(printf '%s\n%s\n' "$cpu" "${best:-$cpu}" | sort -g | head -1)
  done
  tests=$("$exe" --gtest_list_tests | grep -c '^ ')
  printf '%-20s start-up %5.2f s CPU  %4d tests\n' "$(basename "$exe")" "$best" "$tests"
done
(cd "$build" && ctest -N | tail -1 | sed 's/Total Tests:/CTest processes:/')
if [ "${FULL:-0}" = 1 ]; then
  /usr/bin/time -f 'CTest run: %e s wall, %U s user, %S s sys' "$here/../scripts/run-tests" "$build" >/dev/null
fi
