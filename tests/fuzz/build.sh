#!/usr/bin/env bash
# Builds the libFuzzer target over the PDF service (clang, AddressSanitizer).
#
#   tests/fuzz/build.sh [OUT-DIR]          # default: build-fuzz
#   build-fuzz/pdf_service_fuzzer -max_total_time=300 -rss_limit_mb=4096 \
#       -timeout=30 build-fuzz/corpus tests/fuzz/seeds
#
# New crashing inputs: fix the fault, then copy the input into tests/fuzz/crashes
# (the engine tests replay every file there).
set -euo pipefail
if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  echo "build.sh: needs clang and its fuzzer runtime: apt-get install clang libclang-rt-14-dev" >&2
  exit 1
fi
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
OUT=${1:-$ROOT/build-fuzz}
mkdir -p "$OUT/corpus"
CXXFLAGS=(-std=c++17 -O1 -g -fsanitize=fuzzer,address -fno-omit-frame-pointer -I"$ROOT/src")
LIBS=(-lmupdf -lmupdf-third -lmujs -lgumbo -lopenjp2 -ljbig2dec -ljpeg -lpng16 -lfreetype -lharfbuzz
      -lbrotlidec -lbrotlicommon -lz -lm -lpthread)
if [ -f /usr/include/libdeflate.h ]; then
  CXXFLAGS+=(-DKESTRAN_HAVE_LIBDEFLATE=1)
  LIBS+=(-ldeflate)
fi
clang++ "${CXXFLAGS[@]}" "$ROOT"/tests/fuzz/pdf_service_fuzzer.cpp "$ROOT"/src/pdf/*.cpp \
  "$ROOT"/src/common/folder_listing.cpp "$ROOT"/src/common/local_paths.cpp "${LIBS[@]}" \
  -o "$OUT/pdf_service_fuzzer"
echo "built $OUT/pdf_service_fuzzer"
