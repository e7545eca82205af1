#!/usr/bin/env bash
# Runs the Python test suite under valgrind's memcheck with the interpreter's
# own allocator switched off (PYTHONMALLOC=malloc), so every block the module
# allocates or frees is seen. Prints the error and leak summary; exits
# non-zero on any invalid access or definite leak. Slow: run by hand.
# Usage: scripts/valgrind.sh [pytest args...]
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup_all
ensure_debian_packages valgrind
build_module
log_file="$ROOT/build/valgrind.log"
set +e
PYTHONMALLOC=malloc PYTHONPATH="$(module_dir)" KORVALENT_MODULE_DIR="$(module_dir)" \
KORVALENT_STRESS_ROUNDS=2000 KORVALENT_UNDER_VALGRIND=1 \
  valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite --error-exitcode=99 --track-origins=no \
    --suppressions="$ROOT/scripts/valgrind-python.supp" \
    --log-file="$log_file" \
    "$VPY" -m pytest -q -p no:cacheprovider -m "not slow" "$ROOT/tests/python" "$@"
rc=$?
set -e
grep -E "ERROR SUMMARY|definitely lost|indirectly lost|Invalid (read|write)" "$log_file" | sort | uniq -c
if [ $rc -ne 0 ]; then
  log "valgrind reported errors (exit $rc); see $log_file"
  exit 1
fi
log "valgrind: no invalid access and no definite leak"
