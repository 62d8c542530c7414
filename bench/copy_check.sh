#!/usr/bin/env bash
# The copy rule's cost: the decode check against a full decode (ms per MB of
# JPEG), and the peak memory of extracting a large JPEG 2000 image that is
# copied against one that must be decoded. Extra arguments are JPEG files to
# time as well. EXTRACT_BEFORE may name another kestran-extract to compare.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${BUILD_DIR:-$here/../build}"
cmake --build "$build" --target kestran_copy_check_bench kestran-extract -j2 >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$build/bench/kestran_copy_check_bench" --jpx-pdfs "$work" "$@"
for bin in "$build/stage/bin/kestran-extract" ${EXTRACT_BEFORE:-}; do
  for pdf in jpx-copied jpx-decoded jpeg-baseline jpeg-progressive; do
    out="$work/out-$pdf-$RANDOM"
    peak=$(/usr/bin/time -f %M "$bin" -q -o "$out" "$work/$pdf.pdf" 2>&1 >/dev/null | tail -1)
    printf '%-50s %-17s peak %6d MiB  %s\n' "$bin" "$pdf" $((peak / 1024)) "$(ls "$out")"
  done
done
