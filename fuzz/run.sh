#!/usr/bin/env bash
# Builds every fuzz target with libFuzzer, AddressSanitizer and UBSan (clang),
# runs each for the given number of seconds (default 60) on its committed
# corpus, and reports executions and findings per target.
# Usage: fuzz/run.sh [SECONDS] [TARGET...]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/common.sh"
ensure_debian_packages clang libclang-rt-14-dev
seconds="${1:-60}"; shift || true
CXX="${CXX_FUZZ:-clang++}"
OUT="$ROOT/fuzz/out"
mkdir -p "$OUT"
flags=(-std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
       -fno-omit-frame-pointer -I "$ROOT/src/main" -I "$ROOT/fuzz")
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$ROOT"/fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
core_objs="$OUT/core"
mkdir -p "$core_objs"
for src in "$ROOT"/src/main/core/*.cpp; do
  obj="$core_objs/$(basename "$src" .cpp).o"
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ]; then
    "$CXX" "${flags[@]/-fsanitize=fuzzer,address,undefined/-fsanitize=fuzzer-no-link,address,undefined}" -c "$src" -o "$obj"
  fi
done
printf '%-22s %14s %10s %s\n' target executions findings corpus
for t in "${targets[@]}"; do
  bin="$OUT/$t"
  "$CXX" "${flags[@]}" "$ROOT/fuzz/$t.cpp" "$core_objs"/*.o -o "$bin"
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
