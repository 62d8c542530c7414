#!/usr/bin/env bash
# Checks that kestran-extract writes the same files, byte for byte, and the
# same lines whatever the number of jobs: the generated bench corpus (and any
# extra PDFs or folders given as arguments) is extracted with -j 1 and with
# each of JOBS, file by file (so the threads work inside one file), and the
# outputs are compared. Exits 1 on the first difference.
#
#   bench/determinism.sh                       # build dir ./build, corpus at SCALE 0.2
#   JOBS="2 4" SCALE=1.0 bench/determinism.sh ~/pdfs
#
# Environment: BUILD (default ./build), SCALE (default 0.2), CORPUS (default
# BUILD/bench/corpus-SCALE, generated when missing), JOBS (default "2 3 8").
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
SCALE=${SCALE:-0.2}
CORPUS=${CORPUS:-$BUILD/bench/corpus-$SCALE}
JOBS=${JOBS:-2 3 8}
EXTRACT=${EXTRACT:-$BUILD/stage/bin/kestran-extract}

if [ ! -f "$CORPUS/.complete" ]; then
  echo "== generating the corpus in $CORPUS (scale $SCALE)"
  rm -rf "$CORPUS"
  "$BUILD/bench/kestran_bench_corpus" "$CORPUS" "$SCALE"
  touch "$CORPUS/.complete"
fi

INPUTS=("$CORPUS"/*.pdf)
for extra in "$@"; do
  if [ -d "$extra" ]; then INPUTS+=("$extra"/*.pdf); else INPUTS+=("$extra"); fi
done

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# One file's outputs: every written file's name and digest, then its lines
# with the timings and the folder taken out.
extract() {
  local jobs=$1 pdf=$2 out=$3
  mkdir -p "$out"
  "$EXTRACT" -j "$jobs" -o "$out" "$pdf" 2>&1 | sed -E 's/, [0-9.]+ s$//; s/ in [0-9.]+ s$//' >"$out.lines" || true
  (cd "$out" && find . -type f -print0 | sort -z | xargs -0r md5sum) >"$out.files"
}

status=0
for pdf in "${INPUTS[@]}"; do
  name=$(basename "$pdf" .pdf)
  extract 1 "$pdf" "$WORK/$name-1"
  for j in $JOBS; do
    extract "$j" "$pdf" "$WORK/$name-$j"
    if ! cmp -s "$WORK/$name-1.files" "$WORK/$name-$j.files" || ! cmp -s "$WORK/$name-1.lines" "$WORK/$name-$j.lines"; then
      echo "DIFFERENT: $pdf with -j 1 and -j $j"
      diff "$WORK/$name-1.files" "$WORK/$name-$j.files" | head -5 || true
      diff "$WORK/$name-1.lines" "$WORK/$name-$j.lines" | head -5 || true
      status=1
    fi
    rm -rf "$WORK/$name-$j"
  done
  printf '%-40s %s files the same with -j 1 and -j %s\n' "$name" "$(wc -l <"$WORK/$name-1.files")" "${JOBS// /, }"
  rm -rf "$WORK/$name-1"
done
exit $status
