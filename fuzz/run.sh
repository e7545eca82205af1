#!/usr/bin/env bash
# Builds every fuzz target with libFuzzer, AddressSanitizer and UBSan in a
# clang CMake tree (KORVALENT_FUZZ=ON, under fuzz/out/build), runs each for
# the given number of seconds (default 60) on its committed corpus, and
# reports executions and findings per target. The core is compiled by the
# same CMake rules as every other build, with the fuzzing flags added.
# Usage: fuzz/run.sh [SECONDS] [TARGET...]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/common.sh"
ensure_debian_packages clang libclang-rt-14-dev
ensure_venv "$ROOT/requirements-dev.txt"
seconds="${1:-60}"; shift || true
OUT="$ROOT/fuzz/out"
BUILD="$OUT/build"
mkdir -p "$OUT"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$ROOT"/fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER="${CC_FUZZ:-clang}" -DCMAKE_CXX_COMPILER="${CXX_FUZZ:-clang++}" \
  -DKORVALENT_MODULE=OFF -DKORVALENT_FUZZ=ON >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target "${targets[@]}"
printf '%-22s %14s %10s %s\n' target executions findings corpus
for t in "${targets[@]}"; do
  bin="$BUILD/$t"
  corpus="$ROOT/fuzz/corpus/$t"; work="$OUT/corpus-$t"; mkdir -p "$corpus" "$work" "$OUT/crashes-$t"
  log="$OUT/$t.log"
  set +e
  "$bin" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$OUT/crashes-$t/" \
         -max_len=8192 -timeout=20 -rss_limit_mb=4096 "$work" "$corpus" > "$log" 2>&1
  rc=$?
  set -e
  execs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')"
  findings="$(ls "$OUT/crashes-$t" | wc -l)"
  printf '%-22s %14s %10s %s\n' "$t" "$execs" "$findings" "$(ls "$work" | wc -l) inputs (exit $rc)"
done
