#!/usr/bin/env bash
# Times the preview of every page of the benchmark corpus and of two A4
# 600 dpi scans (1-bit Flate and colour JPEG), as the window shows a page:
# RenderPage into the 142 x 196 box, wxImage scaling, and a blit into a
# wxMemoryDC on a private X server (none when xvfb-run is missing: the
# blit is then left out). Reports median and worst per page, for the first
# page of a file (with the open) and for the pages after it.
#
#   bench/preview.sh                   # build dir ./build, full corpus, 4 scan pages
#   BUILD=build-x SCALE=0.2 bench/preview.sh
#   bench/preview.sh --no-box          # as before the box: 4 megapixels, then scaled
#
# Environment: BUILD (build folder), SCALE (corpus size), CORPUS (corpus
# folder, shared with bench/run.sh), SCANS (scan folder), SCAN_PAGES.
# Not part of `make test`: timings belong here, never in the tests.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
SCALE=${SCALE:-1.0}
CORPUS=${CORPUS:-$BUILD/bench/corpus-$SCALE}
SCANS=${SCANS:-$BUILD/bench/preview-scans}
SCAN_PAGES=${SCAN_PAGES:-4}

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$BUILD" --target kestran_bench_corpus kestran_preview_bench -j"$(nproc)" >/dev/null
BENCH=$BUILD/bench/kestran_preview_bench

if [ ! -f "$CORPUS/.complete" ]; then
  echo "== generating the corpus in $CORPUS (scale $SCALE)"
  rm -rf "$CORPUS"
  "$BUILD/bench/kestran_bench_corpus" "$CORPUS" "$SCALE"
  touch "$CORPUS/.complete"
fi

# The preview figures are of the four scan and report files; the extraction
# benchmark's giants (a 1,000-page text, 35000-pixel pages) measure other things.
PAGES_DIR=$BUILD/bench/preview-corpus-$SCALE
rm -rf "$PAGES_DIR"
mkdir -p "$PAGES_DIR"
for f in scan-color scan-bw report posters; do ln -s "$CORPUS/$f.pdf" "$PAGES_DIR/$f.pdf"; done
CORPUS=$PAGES_DIR

export GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1
if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$BENCH" "$CORPUS" "$SCANS" "$SCAN_PAGES" "$@"
fi
exec "$BENCH" "$CORPUS" "$SCANS" "$SCAN_PAGES" "$@"
