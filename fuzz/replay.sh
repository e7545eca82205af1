#!/usr/bin/env bash
# Replays each fuzz target's committed corpus through its sanitized replay
# program (built in build/sanitize by scripts/test.sh).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BIN="${1:-$ROOT/build/sanitize}"
status=0
for src in "$ROOT"/fuzz/fuzz_*.cpp; do
  t="$(basename "$src" .cpp)"
  corpus="$ROOT/fuzz/corpus/$t"
  [ -d "$corpus" ] || { echo "no corpus for $t" >&2; status=1; continue; }
  printf '%s: ' "$t"
  # The parser reports unassigned simple values on stderr; keep that noise
  # out of the log unless the replay fails.
  log="$(mktemp)"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 "$BIN/replay_$t" "$corpus" 2>"$log"; then
    echo "FAILED: $t"; grep -v 'Unimplemented CBOR code' "$log" | tail -n 40 >&2; status=1
  fi
  rm -f "$log"
done
exit $status
