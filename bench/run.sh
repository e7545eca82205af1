#!/usr/bin/env bash
# The side-by-side benchmark suite in one command: installs the pinned peers
# (requirements-bench.txt), xdelta3, zstd and Google Benchmark, builds the module
# and the native benchmark program in Release mode, runs bench/suite.py and
# leaves its tables in bench/results/latest.md.
#
#   bench/run.sh            full run (about 10 minutes on 2 cores)
#   bench/run.sh --quick    fewer, shorter rounds (a few minutes; rougher ratios)
#   bench/run.sh --only dumps --only linearity    chosen sections only
#
# KORVALENT_BENCH_BUILD picks the build directory (default build/bench).
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

BUILD="${KORVALENT_BENCH_BUILD:-$ROOT/build/bench}"
ensure_debian_packages g++ xdelta3 zstd libbenchmark-dev
ensure_venv "$ROOT/requirements-dev.txt" "$ROOT/requirements-bench.txt"

log "building the module and core_bench (Release) in $BUILD"
mkdir -p "$BUILD"
if ! cmake_build "$BUILD" -DCMAKE_BUILD_TYPE=Release -DKORVALENT_MODULE=ON \
    -DKORVALENT_TESTS=OFF -DKORVALENT_BENCH=ON >"$BUILD/bench-build.log" 2>&1; then
  tail -n 40 "$BUILD/bench-build.log" >&2
  log "build failed (full log: $BUILD/bench-build.log)"
  exit 1
fi

args=()
if [ -x "$BUILD/core_bench" ]; then args+=(--core-bench "$BUILD/core_bench"); fi
log "running the suite"
PYTHONPATH="$BUILD" exec "$VPY" "$ROOT/bench/suite.py" "${args[@]}" "$@"
