#!/usr/bin/env bash
# Times kestran-extract, with -j 1 and with its default number of jobs, against
# `pdfimages -all` (poppler-utils) and `mutool extract` (mupdf-tools) on a
# generated corpus, in one hyperfine run: every file of the corpus is a class of
# its own, timed alone, and the whole corpus is timed in one kestran-extract
# call. Every timed command runs under /usr/bin/time, which records its peak
# memory (largest resident set of the process and its children) on every run.
# Writes a Markdown report with the ratios against mutool and the targets
# checked.
#
#   bench/run.sh                          # build dir ./build, full corpus
#   BUILD=build-x bench/run.sh
#   CLASSES="text-1000 inline-4000" SCALE=0.2 bench/run.sh   # a quick look
#
# Prerequisites: hyperfine, poppler-utils, mupdf-tools and time (Debian
# packages; scripts/install-deps installs them, this script installs nothing).
#
# Environment:
#   BUILD     build folder (default ./build; configured and built here when needed)
#   SCALE     multiplies the page counts of the many-page files (default 1.0)
#   CORPUS    corpus folder, generated once and reused (default BUILD/bench/corpus-SCALE)
#   WORK      outputs, logs and the report (default BUILD/bench/work)
#   EXTRACT   the kestran-extract to time (default BUILD/stage/bin/kestran-extract)
#   CLASSES   the classes (corpus file names without .pdf) to run, default all
#   MIN_RUNS, MAX_RUNS  hyperfine runs per command (default 3 and 10: hyperfine
#             picks about 3 s worth of runs within them, so the big classes run 3 times)
#   WARMUP    hyperfine warm-up runs per command (default 0; the corpus is read
#             into the page cache first)
#   EXEMPT    classes allowed over the 100 MiB peak because their format must be
#             decoded whole (JBIG2, JPEG 2000 that cannot be copied); default none
#   TYPES     output types timed besides the default (original), e.g. "png jpeg":
#             each adds a column kestran-extract -t TYPE (default jobs)
#   EXTERNAL=0  leave pdfimages and mutool out (the × columns then go)
#   EXTERNAL_WHOLE=1  also time pdfimages and mutool over the whole corpus; by
#             default their whole-corpus time is the sum of their per-file means,
#             which is what their one-process-per-file loop costs
# Not part of `make test`: timings belong here, never in the tests.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
SCALE=${SCALE:-1.0}
CORPUS=${CORPUS:-$BUILD/bench/corpus-$SCALE}
WORK=${WORK:-$BUILD/bench/work}
MIN_RUNS=${MIN_RUNS:-3}
MAX_RUNS=${MAX_RUNS:-10}
WARMUP=${WARMUP:-0}
EXEMPT=${EXEMPT:-}
EXTERNAL_WHOLE=${EXTERNAL_WHOLE:-0}
TYPES=${TYPES:-}
EXTERNAL=${EXTERNAL:-1}
ALL_CLASSES="scan-color scan-bw report posters print-cmyk text-1000 ccitt-35000 ccitt-stencil flate-20000 jpx-6000 inline-4000"
CLASSES=${CLASSES:-$ALL_CLASSES}
LIMIT_MIB=100

for tool in hyperfine pdfinfo /usr/bin/time $([ "$EXTERNAL" = 1 ] && echo pdfimages mutool); do
  command -v "$tool" >/dev/null || {
    echo "run.sh: $tool is missing: install hyperfine, poppler-utils, mupdf-tools and time (scripts/install-deps)" >&2
    exit 1
  }
done

STARTED=$(date +%s)
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$BUILD" --target kestran-extract kestran_bench_corpus -j2 >/dev/null
EXTRACT=${EXTRACT:-$BUILD/stage/bin/kestran-extract}

FILES=()
for c in $CLASSES; do FILES+=("$CORPUS/$c.pdf"); done
complete=1
for f in "${FILES[@]}"; do [ -f "$f" ] || complete=0; done
if [ ! -f "$CORPUS/.complete" ] || [ $complete = 0 ]; then
  echo "== generating the corpus in $CORPUS (scale $SCALE)"
  rm -rf "$CORPUS"
  "$BUILD/bench/kestran_bench_corpus" "$CORPUS" "$SCALE"
  touch "$CORPUS/.complete"
fi
for f in "${FILES[@]}"; do
  [ -f "$f" ] || { echo "run.sh: no class $(basename "$f" .pdf) in the corpus (known: $ALL_CLASSES)" >&2; exit 2; }
done

OUT=$WORK/out    # the one output folder that exists while a command runs
MEM=$WORK/mem    # one file per command: peak kB of every run
rm -rf "$WORK/out" "$MEM"
mkdir -p "$WORK" "$MEM"
# kestran-extract writes its daily log below HOME: keep it out of the real one.
export HOME=$WORK/home
mkdir -p "$HOME/Documents"

# -j arrived later than the first engine: an older binary is timed once, with
# its only (default) behaviour.
if "$EXTRACT" --help 2>&1 | grep -Eq -- '(^|[[:space:],])(-j|--jobs)([[:space:],=]|$)'; then
  HAVE_J=1
  TOOLS="kestran-j1 kestran pdfimages mutool"
else
  HAVE_J=0
  TOOLS="kestran pdfimages mutool"
fi
# The converting output types, each against "original" (the kestran column).
for type in $TYPES; do TOOLS="${TOOLS/kestran /kestran kestran-$type }"; done
[ "$EXTERNAL" = 1 ] || TOOLS=$(echo "$TOOLS" | sed 's/ pdfimages//; s/ mutool//')

# The command line of `tool` on `class` (a name from CLASSES, or "corpus" for
# all of them), writing into folder `dir`. pdfimages and mutool take one file
# per process, as people script them; mutool writes into the current folder.
command_line() {
  local tool=$1 class=$2 dir=$3 timed="/usr/bin/time -a -o $MEM/$1.$2 -f %M"
  local files=("$CORPUS/$class.pdf")
  [ "$class" = corpus ] && files=("${FILES[@]}")
  case $tool in
    kestran-j1) echo "$timed $EXTRACT -q -j 1 -o $dir ${files[*]}" ;;
    kestran) echo "$timed $EXTRACT -q -o $dir ${files[*]}" ;;
    kestran-*) echo "$timed $EXTRACT -q -t ${tool#kestran-} -o $dir ${files[*]}" ;;
    pdfimages)
      if [ "$class" = corpus ]; then
        echo "$timed sh -c 'for f in ${files[*]}; do pdfimages -all \$f $dir/\$(basename \$f .pdf); done'"
      else
        echo "$timed pdfimages -all ${files[0]} $dir/$class"
      fi ;;
    mutool)
      if [ "$class" = corpus ]; then
        echo "$timed sh -c 'for f in ${files[*]}; do d=$dir/\$(basename \$f .pdf); mkdir -p \$d && cd \$d && mutool extract \$f >/dev/null; done'"
      else
        echo "cd $dir && $timed mutool extract ${files[0]}"
      fi ;;
  esac
}

# After all runs of a command: count what its last run wrote, then free the disk.
cat >"$WORK/tally.sh" <<EOF
#!/bin/sh
for d in "$OUT"/*/*; do
  [ -d "\$d" ] || continue
  printf '%s\t%s\t%s\t%s\n' "\$(basename "\$(dirname "\$d")")" "\$(basename "\$d")" \\
    "\$(find "\$d" -type f | wc -l)" "\$(find "\$d" -type f -printf '%s\n' | awk '{s+=\$1} END {print s+0}')"
done >>"$WORK/files.tsv"
rm -rf "$OUT"
EOF
chmod +x "$WORK/tally.sh"
: >"$WORK/files.tsv"

ARGS=()
add() {  # tool class
  local dir=$OUT/$1/$2
  ARGS+=(--prepare "rm -rf $OUT && mkdir -p $dir && sync" -n "$1/$2" "$(command_line "$1" "$2" "$dir")")
}
for c in $CLASSES; do
  for t in $TOOLS; do add "$t" "$c"; done
done
for t in $TOOLS; do
  case $t in
    kestran*) add "$t" corpus ;;
    *) [ "$EXTERNAL_WHOLE" = 1 ] && add "$t" corpus ;;
  esac
done

echo "== corpus"
for f in "${FILES[@]}"; do
  printf '  %-20s %6s pages %12s bytes\n' "$(basename "$f")" \
    "$(pdfinfo "$f" 2>/dev/null | awk '/^Pages:/{print $2}')" "$(stat -c %s "$f")"
done
cat "${FILES[@]}" >/dev/null  # into the page cache, as a warm-up would

echo "== timing (hyperfine, $MIN_RUNS to $MAX_RUNS runs, $WARMUP warm-up; kestran-extract -j: $([ $HAVE_J = 1 ] && echo yes || echo 'not supported, default only'))"
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
hyperfine --style basic --ignore-failure --warmup "$WARMUP" --min-runs "$MIN_RUNS" --max-runs "$MAX_RUNS" \
  --cleanup "$WORK/tally.sh" --export-csv "$WORK/times.csv" --export-json "$WORK/times.json" "${ARGS[@]}" \
  >"$WORK/hyperfine.log"
LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)

# ---------------------------------------------------------------------------
# The report

mean() { awk -F, -v n="$1/$2" 'NR>1 && $1==n {print $2}' "$WORK/times.csv"; }
cpu() { awk -F, -v n="$1/$2" 'NR>1 && $1==n {print $5 + $6}' "$WORK/times.csv"; }
sdev() { awk -F, -v n="$1/$2" 'NR>1 && $1==n {print $3}' "$WORK/times.csv"; }
peak_kb() { [ -f "$MEM/$1.$2" ] && awk '/^[0-9]+$/ && $1 > m {m = $1} END {if (m) print m}' "$MEM/$1.$2"; }
failed() { [ -f "$MEM/$1.$2" ] && grep -m1 -o 'exited with non-zero status [0-9]*\|terminated by signal [0-9]*' "$MEM/$1.$2"; }
files() { awk -F'\t' -v t="$1" -v c="$2" '$1==t && $2==c {print $3}' "$WORK/files.tsv"; }
# The whole corpus of a one-process-per-file tool that was not timed whole.
sum_over_classes() {  # statistic tool
  local s=0 m
  for c in $CLASSES; do m=$("$1" "$2" "$c"); [ -n "$m" ] || return 0; s=$(awk -v a="$s" -v b="$m" 'BEGIN {print a + b}'); done
  echo "$s"
}
whole() {  # [statistic] tool: timed whole, or the sum of its files
  local stat=mean; [ $# = 2 ] && { stat=$1; shift; }
  local m; m=$("$stat" "$1" corpus)
  if [ -n "$m" ]; then echo "$m"; else sum_over_classes "$stat" "$1"; fi
}
label() {
  case $1 in
    kestran-j1) echo "kestran-extract -j 1" ;;
    kestran) [ $HAVE_J = 1 ] && echo "kestran-extract (default -j)" || echo "kestran-extract" ;;
    kestran-*) echo "kestran-extract -t ${1#kestran-}" ;;
    pdfimages) echo "pdfimages -all" ;;
    mutool) echo "mutool extract" ;;
  esac
}
cell_time() {  # seconds [stddev] [mutool seconds] [estimated]
  [ -n "${1:-}" ] || { echo "–"; return; }
  awk -v t="$1" -v s="${2:-}" -v m="${3:-}" -v e="${4:-}" 'BEGIN {
    out = sprintf("%.3f s", t); if (s != "") out = out sprintf(" ± %.3f", s); if (e != "") out = out " (sum)"
    if (m != "" && m > 0) out = out sprintf(t / m < 0.01 ? " · **%.3f×**" : " · **%.2f×**", t / m); print out }'
}
mib() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }

REPORT=$WORK/report.md
{
  echo "## Extraction benchmark"
  echo
  echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load average before/after: $LOAD_BEFORE / $LOAD_AFTER."
  echo "$("$EXTRACT" --version 2>/dev/null | head -1) (commit $(git -C "$ROOT" log -1 --format=%h 2>/dev/null || echo unknown));"\
       "$(pdfimages -v 2>&1 | head -1); mutool $(mutool -v 2>&1 | awk '{print $NF; exit}'); $(hyperfine --version)."
  echo
  echo "### Time (mean ± standard deviation; × = against mutool extract)"
  echo
  head="| class |"; rule="|---|"
  for t in $TOOLS; do head+=" $(label "$t") |"; rule+="---|"; done
  echo "$head"; echo "$rule"
  for c in $CLASSES corpus; do
    m=$([ "$c" = corpus ] && whole mutool || mean mutool "$c")
    row="| $([ "$c" = corpus ] && echo "**whole corpus**" || echo "$c") |"
    for t in $TOOLS; do
      if [ "$c" = corpus ] && [ -z "$(mean "$t" corpus)" ]; then
        row+=" $(cell_time "$(whole "$t")" "" "$m" sum) |"
      else
        row+=" $(cell_time "$(mean "$t" "$c")" "$(sdev "$t" "$c")" "$m") |"
      fi
    done
    echo "$row"
  done
  if [ "$EXTERNAL_WHOLE" != 1 ]; then
    echo
    echo "(sum): the tool runs one process per file, so its whole corpus is the sum of its per-file means."
  fi
  echo
  echo "### CPU time (user + system, mean; × = against mutool extract)"
  echo
  echo "Less sensitive than the wall time to other work on the machine; parallel work adds up here."
  echo
  echo "$head"; echo "$rule"
  for c in $CLASSES corpus; do
    if [ "$c" = corpus ]; then
      m=$(whole cpu mutool)
      row="| **whole corpus** |"
      for t in $TOOLS; do
        if [ -n "$(cpu "$t" corpus)" ]; then row+=" $(cell_time "$(cpu "$t" corpus)" "" "$m") |"
        else row+=" $(cell_time "$(whole cpu "$t")" "" "$m" sum) |"; fi
      done
    else
      m=$(cpu mutool "$c")
      row="| $c |"
      for t in $TOOLS; do row+=" $(cell_time "$(cpu "$t" "$c")" "" "$m") |"; done
    fi
    echo "$row"
  done
  echo
  echo "### Peak memory (MiB, largest resident set) and files written"
  echo
  echo "$head"; echo "$rule"
  for c in $CLASSES corpus; do
    row="| $([ "$c" = corpus ] && echo "**whole corpus**" || echo "$c") |"
    for t in $TOOLS; do
      k=$(peak_kb "$t" "$c" || true)
      if [ -z "$k" ]; then row+=" – |"; continue; fi
      n=$(files "$t" "$c")
      cell="$(mib "$k") MiB, ${n:-?} file$([ "$n" = 1 ] || echo s)"
      f=$(failed "$t" "$c" || true)
      [ -n "$f" ] && cell+=", ${f/exited with non-zero status/exit}"
      row+=" $cell |"
    done
    echo "$row"
  done
  echo
  echo "File counts differ by design: pdfimages writes a shared image once per page and soft masks as"
  echo "separate images, and CCITT data as .ccitt plus .params; mutool writes masks separately and"
  echo "never extracts inline images."
  echo
  echo "### Targets"
  echo
  K=kestran
  empty=""
  for c in $CLASSES; do
    n=$(files "$K" "$c"); [ "${n:-0}" = 0 ] && empty+=" $c,"
  done
  kw=$(whole "$K"); mw=$(whole mutool)
  if [ -n "$kw" ] && [ -n "$mw" ]; then
    r=$(awk -v a="$kw" -v b="$mw" 'BEGIN {printf "%.2f", a / b}')
    ok=$(awk -v r="$r" 'BEGIN {print (r <= 0.30) ? "met" : "**missed**"}')
    [ -n "$empty" ] && [ "$ok" = met ] && ok="met, but not comparable: kestran-extract wrote no image in${empty%,}"
    echo "- Whole corpus with the default jobs at most 0.30 × mutool's time: $r × — $ok."
  fi
  over=""
  for t in $TOOLS; do
    case $t in kestran*) ;; *) continue ;; esac
    for c in $CLASSES; do
      k=$(peak_kb "$t" "$c" || true)
      [ -n "$k" ] || continue
      case " $EXEMPT " in *" $c "*) continue ;; esac
      if [ "$k" -ge $((LIMIT_MIB * 1024)) ]; then over+=" $c ($(label "$t"): $(mib "$k") MiB);"; fi
    done
  done
  echo "- Every file's peak under $LIMIT_MIB MiB$([ -n "$EXEMPT" ] && echo " (whole-decode classes exempt: $EXEMPT)"):" \
    "$([ -z "$over" ] && echo met || echo "**missed** by${over%;}")."
  slower=""
  for c in $CLASSES; do
    k=$(mean "$K" "$c"); m=$(mean mutool "$c")
    [ -n "$k" ] && [ -n "$m" ] || continue
    if awk -v k="$k" -v m="$m" 'BEGIN {exit !(k > m)}'; then
      note=""
      [ "$(files mutool "$c")" = 0 ] && note=", mutool extract writes none of these images"
      slower+=" $c ($(awk -v k="$k" -v m="$m" 'BEGIN {printf "%.2f", k / m}') ×$note);"
    fi
  done
  echo "- No class slower than mutool (default jobs): $([ -z "$slower" ] && echo met || echo "**missed** by${slower%;}")."
  [ -n "$empty" ] && echo "- Classes where kestran-extract wrote no image (its time there measures a skip):${empty%,}."
  fails=""
  for t in $TOOLS; do for c in $CLASSES corpus; do
    f=$(failed "$t" "$c" || true); [ -n "$f" ] && fails+=" $t/$c ($f);"
  done; done
  [ -n "$fails" ] && echo "- Commands that failed:${fails%;}."
  echo
  echo "Benchmark wall time: $(( $(date +%s) - STARTED )) s (hyperfine log: $WORK/hyperfine.log)."
} >"$REPORT"
cat "$REPORT"
