#!/usr/bin/env bash
# Times kestran-cluster on a local cluster of one and of two workers against
# kestran-extract alone, and measures what a task costs the cluster:
#   - the benchmark corpus of bench/run.sh (few large files of every class);
#   - the 48 files of the cluster tests (40 small ones of the usual kinds and
#     8 of 1,000 small images each), the shape of a batch of ordinary PDFs;
#   - those 48 files again with one file per task (--task-files 1) on one
#     worker, against one task of them all: the difference over the extra
#     tasks is the overhead of a task (Dask's round trip, the start of a
#     kestran-extract, its list and summary); and one small file through a
#     local cluster against kestran-extract: the start and end of the cluster.
# The workers are `dask worker` processes of one thread each on loopback, as
# on a real cluster, so that one and two workers compare.
# Each command runs RUNS times (default 3) into a fresh folder, the commands
# taking turns so that a change in the machine's load touches them all alike;
# the median wall time is reported, with a projection for one million PDFs.
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
CORPUS_GIVEN=${CORPUS:-}   # a corpus given is only read, never generated again
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
  [ -z "${CORPUS_GIVEN:-}" ] || { echo "cluster.sh: $CORPUS is no complete corpus" >&2; exit 1; }
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

files_in() { find "$1" -maxdepth 1 -iname '*.pdf' | wc -l; }

# A scheduler and N workers of one thread each on loopback, as on a real
# cluster; every process in a session of its own, all ended on exit.
GROUPS_STARTED=()
stop_all() {
  for g in "${GROUPS_STARTED[@]}"; do kill -- -"$g" 2>/dev/null || true; done
  GROUPS_STARTED=()
}
trap stop_all EXIT
start_cluster() {
  local n=$1 file=$WORK/scheduler-$1.json
  rm -f "$file"
  setsid /usr/bin/python3 -m distributed.cli.dask_scheduler --host 127.0.0.1 --port 0 \
    --dashboard-address 127.0.0.1:0 --scheduler-file "$file" >"$WORK/scheduler-$n.log" 2>&1 &
  GROUPS_STARTED+=($!)
  for _ in $(seq 200); do [ -s "$file" ] && break; sleep 0.1; done
  ADDRESS=$(/usr/bin/python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["address"])' "$file")
  for i in $(seq "$n"); do
    setsid /usr/bin/python3 -m distributed.cli.dask_worker "$ADDRESS" --nthreads 1 --host 127.0.0.1 \
      --no-dashboard --local-directory "$WORK" >"$WORK/worker-$n-$i.log" 2>&1 &
    GROUPS_STARTED+=($!)
  done
  /usr/bin/python3 -c 'import sys; from distributed import Client
Client(sys.argv[1]).wait_for_workers(int(sys.argv[2]), timeout=60)' "$ADDRESS" "$n"
}
# Two clusters side by side, idle but for the run timed: one and two workers.
start_cluster 1
ONE=$ADDRESS
start_cluster 2
TWO=$ADDRESS
tasks=$(files_in "$BATCH")
first=$(find "$BATCH" -name '01-*.pdf')

# What is timed: a key, a label, the command.
KEYS=()
LABELS=()
declare -A COMMANDS
add() { KEYS+=("$1"); LABELS+=("$2"); shift 2; COMMANDS[${KEYS[-1]}]=$(printf '%q ' "$@"); }
for set in corpus batch; do
  folder=$CORPUS; [ $set = batch ] && folder=$BATCH
  add $set-j1 "$set: kestran-extract -j 1" "$EXTRACT" -q -j 1 -o "$OUT" "$folder"
  add $set-j2 "$set: kestran-extract -j 2" "$EXTRACT" -q -j 2 -o "$OUT" "$folder"
  add $set-w1 "$set: kestran-cluster, 1 worker of 1 thread" "$CLUSTER" -q --scheduler "$ONE" -o "$OUT" "$folder"
  add $set-w2 "$set: kestran-cluster, 2 workers of 1 thread" "$CLUSTER" -q --scheduler "$TWO" -o "$OUT" "$folder"
done
add one-task "batch as 1 task, 1 worker" "$CLUSTER" -q --scheduler "$ONE" --task-files 1000 -o "$OUT" "$BATCH"
add many-tasks "batch as $tasks tasks, 1 worker" "$CLUSTER" -q --scheduler "$ONE" --task-files 1 -o "$OUT" "$BATCH"
add tiny-extract "one small file: kestran-extract" "$EXTRACT" -q -o "$OUT" "$first"
add tiny-local "one small file: kestran-cluster, local cluster" "$CLUSTER" -q -o "$OUT" "$first"

declare -A TIMES T
echo "== $(nproc) cores (load $(cut -d' ' -f1-3 /proc/loadavg)), $RUNS rounds, median wall time" >&2
for round in $(seq "$RUNS"); do
  for key in "${KEYS[@]}"; do
    rm -rf "$OUT"
    start=$(date +%s.%N)
    eval "${COMMANDS[$key]}" >/dev/null 2>"$WORK/last.err" || [ $? = 1 ] || { cat "$WORK/last.err" >&2; exit 1; }
    end=$(date +%s.%N)
    TIMES[$key]+="$(echo "$end - $start" | bc) "
  done
  echo "   round $round done (load $(cut -d' ' -f1 /proc/loadavg))" >&2
done
for i in "${!KEYS[@]}"; do
  key=${KEYS[$i]}
  # shellcheck disable=SC2086
  T[$key]=$(printf '%s\n' ${TIMES[$key]} | sort -n | sed -n "$(( (RUNS + 1) / 2 ))p")
  printf '%-58s %8.2f s\n' "${LABELS[$i]}" "${T[$key]}" >&2
done
stop_all

/usr/bin/python3 - "$tasks" "${T[corpus-j1]}" "${T[corpus-j2]}" "${T[corpus-w1]}" "${T[corpus-w2]}" \
  "${T[batch-j1]}" "${T[batch-j2]}" "${T[batch-w1]}" "${T[batch-w2]}" "${T[one-task]}" "${T[many-tasks]}" \
  "${T[tiny-extract]}" "${T[tiny-local]}" <<'EOF'
import sys
tasks = int(sys.argv[1])
c_j1, c_j2, c_w1, c_w2, b_j1, b_j2, b_w1, b_w2, one_task, many, tiny_extract, tiny_local = map(float, sys.argv[2:])
per_task = (many - one_task) / (tasks - 1)
per_file = b_j1 / tasks
print()
print("| Files | kestran-extract -j 1 | -j 2 | cluster, 1 worker | 2 workers | 1 -> 2 workers |")
print("|---|---|---|---|---|---|")
for name, j1, j2, w1, w2 in (("bench corpus", c_j1, c_j2, c_w1, c_w2), ("batch of %d" % tasks, b_j1, b_j2, b_w1, b_w2)):
    print("| %s | %.2f s | %.2f s | %.2f s | %.2f s | %.2f x |" % (name, j1, j2, w1, w2, w1 / w2))
print()
print("Overhead of a task: %.3f s (the batch as %d tasks against 1 task on one worker); a local cluster's "
      "start and end: %.2f s; one file of the batch: %.3f s of one core." % (
          per_task, tasks, tiny_local - tiny_extract, per_file))
print()
print("One million such PDFs, 50 files a task (20,000 tasks), one task per core:")
for machines in (10, 100):
    cores = machines * 8
    work = 1e6 * per_file + 20000 * per_task
    print("- %d eight-core machines (%d cores): %.1f h" % (machines, cores, work / cores / 3600))
EOF
