#!/usr/bin/env bash
# Builds the module and runs the example: dumps, diff and patch on real data.
# The set-up and build output goes to build/demo.log; the screen shows the
# example alone (or the log's tail when the build fails).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
mkdir -p "$ROOT/build"
LOG="$ROOT/build/demo.log"
printf '== building the module (output in %s)\n' "$LOG" >&2
if ! { setup_all && build_module; } >"$LOG" 2>&1; then
  tail -n 30 "$LOG" >&2
  printf '== build failed: see %s\n' "$LOG" >&2
  exit 1
fi
PYTHONPATH="$(module_dir)" "$VPY" "$ROOT/examples/demo.py" "$@"
