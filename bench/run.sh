#!/usr/bin/env bash
# Times kestran-extract against `pdfimages -all` (poppler-utils) and
# `mutool extract` (mupdf-tools) on a generated corpus, in one hyperfine run,
# and measures each tool's peak memory with /usr/bin/time -v.
#
#   bench/run.sh                 # build dir ./build, full corpus, 5 runs
#   BUILD=build-x RUNS=3 SCALE=0.2 bench/run.sh
#
# Environment: BUILD (build folder), CORPUS (corpus folder, generated once and
# reused), WORK (output folders), RUNS (hyperfine runs), SCALE (corpus size).
# Not part of `make test`: timings belong here, never in the tests.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
SCALE=${SCALE:-1.0}
CORPUS=${CORPUS:-$BUILD/bench/corpus-$SCALE}
WORK=${WORK:-$BUILD/bench/work}
RUNS=${RUNS:-5}

for tool in hyperfine pdfimages mutool /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing (scripts/install-deps)" >&2; exit 1; }
done

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$BUILD" --target kestran-extract kestran_bench_corpus -j2 >/dev/null
EXTRACT=$BUILD/stage/bin/kestran-extract

if [ ! -f "$CORPUS/.complete" ]; then
  echo "== generating the corpus in $CORPUS (scale $SCALE)"
  rm -rf "$CORPUS"
  "$BUILD/bench/kestran_bench_corpus" "$CORPUS" "$SCALE"
  touch "$CORPUS/.complete"
fi

mkdir -p "$WORK"
# kestran-extract writes its daily log below HOME: keep it out of the real one.
export HOME=$WORK/home
mkdir -p "$HOME/Documents"

# One command line per tool, each writing into its own empty folder. pdfimages
# and mutool take one file per process, as people script them; mutool writes
# into the current folder, so each file gets its own.
K_CMD="$EXTRACT -q -o $WORK/kestran $CORPUS/*.pdf"
K1_CMD="$EXTRACT -q -j 1 -o $WORK/kestran-j1 $CORPUS/*.pdf"
P_CMD="for f in $CORPUS/*.pdf; do n=\$(basename \"\$f\" .pdf); pdfimages -all \"\$f\" $WORK/pdfimages/\$n; done"
M_CMD="for f in $CORPUS/*.pdf; do n=\$(basename \"\$f\" .pdf); mkdir -p $WORK/mutool/\$n && (cd $WORK/mutool/\$n && mutool extract \"\$f\" >/dev/null); done"
PREPARE="rm -rf $WORK/kestran $WORK/kestran-j1 $WORK/pdfimages $WORK/mutool && mkdir -p $WORK/kestran $WORK/kestran-j1 $WORK/pdfimages $WORK/mutool && sync"

echo "== corpus"
for f in "$CORPUS"/*.pdf; do
  printf '  %-16s %6s pages %12s bytes\n' "$(basename "$f")" \
    "$(pdfinfo "$f" 2>/dev/null | awk '/^Pages:/{print $2}')" "$(stat -c %s "$f")"
done

echo "== timing ($RUNS runs each)"
hyperfine --warmup 1 --runs "$RUNS" --prepare "$PREPARE" --export-csv "$WORK/times.csv" \
  -n kestran-extract "$K_CMD" -n "kestran-extract -j 1" "$K1_CMD" -n "pdfimages -all" "$P_CMD" -n "mutool extract" "$M_CMD"

echo "== peak memory (largest process of each command), CPU use, files and bytes written"
peak_kb() {  # command -> "max resident set size in kB of it and its children" "percent of a core used"
  bash -c "$PREPARE" >/dev/null
  /usr/bin/time -v bash -c "$1" 2>&1 >/dev/null |
    awk -F': ' '/Maximum resident set size/{kb=$2} /Percent of CPU/{cpu=$2} END {print kb, cpu}'
}
read -r K_MEM K_CPU <<<"$(peak_kb "$K_CMD")"
read -r K1_MEM K1_CPU <<<"$(peak_kb "$K1_CMD")"
read -r P_MEM P_CPU <<<"$(peak_kb "$P_CMD")"
read -r M_MEM M_CPU <<<"$(peak_kb "$M_CMD")"
# The folders now hold the output of the last command only; run each once more.
bash -c "$PREPARE"
bash -c "$K_CMD"; bash -c "$K1_CMD"; bash -c "$P_CMD"; bash -c "$M_CMD"
count() { find "$1" -type f | wc -l; }
bytes() { find "$1" -type f -printf '%s\n' | awk '{s+=$1} END {print s+0}'; }

mean() { awk -F, -v n="$1" 'NR>1 && $1==n {print $2}' "$WORK/times.csv"; }
K_T=$(mean kestran-extract); K1_T=$(mean "kestran-extract -j 1")
P_T=$(mean "pdfimages -all"); M_T=$(mean "mutool extract")

row() {  # name time peak-kB cpu folder
  printf '%-22s %10.3f %12.1f %6s %8d %14d\n' "$1" "$2" "$(awk -v k="$3" 'BEGIN {print k / 1024}')" "$4" \
    "$(count "$5")" "$(bytes "$5")"
}
printf '\n%-22s %10s %12s %6s %8s %14s\n' tool "time (s)" "peak (MB)" CPU files bytes
row kestran-extract "$K_T" "$K_MEM" "$K_CPU" "$WORK/kestran"
row "kestran-extract -j 1" "$K1_T" "$K1_MEM" "$K1_CPU" "$WORK/kestran-j1"
row "pdfimages -all" "$P_T" "$P_MEM" "$P_CPU" "$WORK/pdfimages"
row "mutool extract" "$M_T" "$M_MEM" "$M_CPU" "$WORK/mutool"
if ! diff -r -q "$WORK/kestran" "$WORK/kestran-j1" >/dev/null; then
  echo "run.sh: kestran-extract wrote other files with -j 1 than with the default" >&2
  exit 1
fi

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
echo
echo "time   kestran / pdfimages: $(ratio "$K_T" "$P_T")  (target <= 0.50)"
echo "time   kestran / mutool:    $(ratio "$K_T" "$M_T")  (target <= 0.70)"
echo "time   kestran / -j 1:      $(ratio "$K_T" "$K1_T")"
echo "memory kestran / pdfimages: $(ratio "$K_MEM" "$P_MEM")  (target <= 1.00)"
