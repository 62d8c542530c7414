#!/usr/bin/env bash
# Times kestran-cluster on a local cluster of one and of two workers against
# kestran-extract alone, and measures what a task costs the cluster:
#   - the benchmark corpus of bench/run.sh (few large files of every class);
#   - the 48 files of the cluster tests (40 small ones of the usual kinds and
#     8 of 1,000 small images each), the shape of a batch of ordinary PDFs;
#   - those 48 files again with one file per task (--task-files 1) on one
#     worker, against one task of them all: the difference over the extra
#     tasks is the overhead of a task (Dask's round trip, the start of a
#     kestran-extract, its list and summary), and the start of the local
#     cluster is what one task of a few tiny files costs beyond kestran-extract.
# Each command runs RUNS times (default 3) into a fresh folder; the median wall
# time is reported, with a projection for one million PDFs.
#
#   bench/cluster.sh                 # build dir ./build, corpus at SCALE 0.2
#   SCALE=1.0 RUNS=5 bench/cluster.sh
#
# Environment: BUILD (default ./build), SCALE (default 0.2), CORPUS (default
# BUILD/bench/corpus-SCALE, shared with bench/run.sh), WORK (default
# BUILD/bench/cluster), RUNS (default 3).
# Not part of `make test`: timings belong here, never in the tests.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
SCALE=${SCALE:-0.2}
CORPUS=${CORPUS:-$BUILD/bench/corpus-$SCALE}
WORK=${WORK:-$BUILD/bench/cluster}
RUNS=${RUNS:-3}

/usr/bin/python3 -c "import distributed" 2>/dev/null || {
  echo "cluster.sh: Dask distributed is missing: apt install python3-distributed (scripts/install-deps)" >&2
  exit 1
}
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$BUILD" --target kestran-extract kestran-cluster kestran_bench_corpus kestran_cluster_pdfs -j2 >/dev/null
EXTRACT=$BUILD/stage/bin/kestran-extract
CLUSTER=$BUILD/stage/bin/kestran-cluster

if [ ! -f "$CORPUS/.complete" ]; then
  echo "== generating the corpus in $CORPUS (scale $SCALE)"
  rm -rf "$CORPUS"
  "$BUILD/bench/kestran_bench_corpus" "$CORPUS" "$SCALE"
  touch "$CORPUS/.complete"
fi
rm -rf "$WORK" && mkdir -p "$WORK/home"
BATCH=$WORK/batch
"$BUILD/tests/kestran_cluster_pdfs" "$BATCH" 8
export HOME=$WORK/home   # the extractor's daily log goes here
OUT=$WORK/out

# median_wall LABEL COMMAND...: the median wall time of RUNS runs, in seconds.
median_wall() {
  local label=$1 times=()
  shift
  for _ in $(seq "$RUNS"); do
    rm -rf "$OUT"
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>"$WORK/last.err" || [ $? = 1 ] || { cat "$WORK/last.err" >&2; exit 1; }
    end=$(date +%s.%N)
    times+=("$(echo "$end - $start" | bc)")
  done
  local median
  median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(( (RUNS + 1) / 2 ))p")
  printf '%-58s %8.2f s\n' "$label" "$median" >&2
  echo "$median"
}

files_in() { find "$1" -maxdepth 1 -iname '*.pdf' | wc -l; }
echo "== $(nproc) cores, $RUNS runs each, median wall time" >&2
echo "-- bench corpus ($(files_in "$CORPUS") files, scale $SCALE)" >&2
c_extract=$(median_wall "kestran-extract (-j $(nproc))" "$EXTRACT" -q -o "$OUT" "$CORPUS")
c_one=$(median_wall "kestran-cluster --workers 1" "$CLUSTER" -q --workers 1 -o "$OUT" "$CORPUS")
c_two=$(median_wall "kestran-cluster --workers 2" "$CLUSTER" -q --workers 2 -o "$OUT" "$CORPUS")
echo "-- batch of $(files_in "$BATCH") files" >&2
b_extract=$(median_wall "kestran-extract (-j $(nproc))" "$EXTRACT" -q -o "$OUT" "$BATCH")
b_one=$(median_wall "kestran-cluster --workers 1" "$CLUSTER" -q --workers 1 -o "$OUT" "$BATCH")
b_two=$(median_wall "kestran-cluster --workers 2" "$CLUSTER" -q --workers 2 -o "$OUT" "$BATCH")
echo "-- overhead: the batch on one worker" >&2
t_single=$(median_wall "kestran-extract -j 1" "$EXTRACT" -q -j 1 -o "$OUT" "$BATCH")
t_one_task=$(median_wall "kestran-cluster --workers 1 --task-files 1000 (1 task)" \
  "$CLUSTER" -q --workers 1 --task-files 1000 -o "$OUT" "$BATCH")
tasks=$(files_in "$BATCH")
t_many=$(median_wall "kestran-cluster --workers 1 --task-files 1 ($tasks tasks)" \
  "$CLUSTER" -q --workers 1 --task-files 1 -o "$OUT" "$BATCH")

/usr/bin/python3 - "$c_extract" "$c_one" "$c_two" "$b_extract" "$b_one" "$b_two" "$t_single" "$t_one_task" \
  "$t_many" "$tasks" <<'EOF'
import sys
c_extract, c_one, c_two, b_extract, b_one, b_two, single, one_task, many, tasks = map(float, sys.argv[1:])
per_task = (many - one_task) / (tasks - 1)
start = one_task - single
per_file = single / tasks
print()
print("| Run | kestran-extract | cluster, 1 worker | cluster, 2 workers | 1 -> 2 workers |")
print("|---|---|---|---|---|")
print("| bench corpus | %.2f s | %.2f s | %.2f s | %.2f x |" % (c_extract, c_one, c_two, c_one / c_two))
print("| batch of %d files | %.2f s | %.2f s | %.2f s | %.2f x |" % (tasks, b_extract, b_one, b_two, b_one / b_two))
print()
print("Local cluster start and end: %.2f s; overhead per task: %.3f s; one file of the batch: %.3f s of one core."
      % (start, per_task, per_file))
print()
print("One million such PDFs, 50 files a task (20,000 tasks), one kestran-extract thread per core:")
for machines in (10, 100):
    cores = machines * 8
    work = 1e6 * per_file + 20000 * per_task
    print("- %d eight-core machines: %.1f h" % (machines, work / cores / 3600))
EOF
