#!/usr/bin/env bash
# Formats the C and C++ sources with clang-format and the root .clang-format.
# Usage: scripts/format.sh [--check]
#   --check  changes nothing; lists the files whose formatting differs and
#            exits 1 when there is any (0 when all are formatted).
#   (none)   rewrites the files in place.
# Installs Debian's clang-format when it is missing.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/common.sh"
check=0
case "${1:-}" in
  --check) check=1 ;;
  "") ;;
  *) echo "usage: scripts/format.sh [--check]" >&2; exit 2 ;;
esac
ensure_debian_packages clang-format
cd "$ROOT"
# Tracked sources when this is a git checkout, otherwise every source found.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -co --exclude-standard -- '*.cpp' '*.h' ':!third_party')
else
  mapfile -t files < <(find src tests fuzz bench examples -name '*.cpp' -o -name '*.h' 2>/dev/null | sort)
fi
[ ${#files[@]} -gt 0 ] || { echo "no sources found" >&2; exit 1; }
if [ $check -eq 0 ]; then
  clang-format -i --style=file "${files[@]}"
  exit 0
fi
status=0
for f in "${files[@]}"; do
  if ! clang-format --style=file "$f" | cmp -s - "$f"; then
    echo "$f"
    status=1
  fi
done
exit $status
