#!/usr/bin/env bash
# Builds everything and runs every test: the core tests (plain and under
# AddressSanitizer + UBSan), the exhaustive core checks, the Python tests and
# a packaging check that installs the module with pip as a user would.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup_all
status=0
# step TITLE COMMAND...: runs one step, says how long it took, and records a
# failure without stopping the others.
step() {
  local t0=$SECONDS
  log "$1"; shift
  if ! "$@"; then log "FAILED: $*"; status=1; fi
  log "  took $((SECONDS - t0)) s"
}

step "format: C and C++ sources match .clang-format" "$ROOT/scripts/format.sh" --check
step "build: release module and core tests" build_module
step "core tests" "$(module_dir)/core_tests" --gtest_brief=1
if [ -x "$(module_dir)/core_long_tests" ]; then
  step "exhaustive core checks" "$(module_dir)/core_long_tests" --gtest_brief=1
fi

SAN="$ROOT/build/sanitize"
step "build: core tests with AddressSanitizer and UBSan" \
  cmake_build "$SAN" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALENT_MODULE=OFF -DKORVALENT_TESTS=ON -DKORVALENT_SANITIZE=ON -DKORVALENT_FUZZ_REPLAY=ON
step "core tests (sanitized)" env ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  KORVALENT_QUICK=1 "$SAN/core_tests" --gtest_brief=1

if [ -d "$ROOT/fuzz" ] && [ -x "$ROOT/fuzz/replay.sh" ]; then
  step "fuzz corpus replay" "$ROOT/fuzz/replay.sh"
fi

step "python tests" env PYTHONPATH="$(module_dir)" KORVALENT_MODULE_DIR="$(module_dir)" \
  "$VPY" -m pytest -q -p no:cacheprovider "$ROOT/tests/python"

step "packaging: sdist installed with pip on CPython 3.9 to 3.13, compat tests on 3.10+" "$ROOT/scripts/check_install.sh"

if [ $status -ne 0 ]; then log "some steps failed"; exit 1; fi
log "all test steps passed in $SECONDS s"
