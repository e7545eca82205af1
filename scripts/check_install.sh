#!/usr/bin/env bash
# Installs the project as users do: builds the sdist, pip-installs it into a
# fresh CPython 3.9 venv and checks what the wheel put there (the module
# tagged for its interpreter, the stubs, py.typed, the korvalent-core
# command). Then the same install on every other CPython from 3.10 to 3.13
# found under `pyenv root`, each followed by the round-trip and error tests
# (pytest -m compat) run against the installed copy, with fewer generated
# examples and without the slow checks: the 3.9 run makes those in full.
# Absent versions are skipped with a message; VERSIONS="3.11 3.12" narrows
# the list.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
PY39="$(find_python39)"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

"$VPY" -m build --sdist --outdir "$tmp/dist" "$ROOT" >"$tmp/sdist.log" 2>&1 || { cat "$tmp/sdist.log" >&2; exit 1; }
sdist="$(ls "$tmp"/dist/*.tar.gz)"

# Newest pyenv interpreter of a major.minor series, or nothing.
find_python() {
  local root cand
  root="$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")"
  while IFS= read -r cand; do
    [ -x "$cand/bin/python$1" ] && { echo "$cand/bin/python$1"; return 0; }
  done < <(ls -d "$root"/versions/"$1".* 2>/dev/null | sort -V -r)
  return 0
}

# install PYTHON VENV: the sdist into a fresh venv, build output to a log.
install_sdist() {
  "$1" -m venv "$2"
  if ! "$2/bin/python" -m pip install -q "$sdist" >"$2.log" 2>&1; then
    cat "$2.log" >&2; return 1
  fi
}

# What the wheel installed, and the command it brought.
check_installed() {
  (cd "$tmp" && "$1/bin/python" - <<'PY'
import importlib.metadata as metadata
import sys
import sysconfig

import korvalent_core, korvalent_core.cbor, korvalent_core.delta  # noqa: F401

dist = metadata.distribution("korvalent_core")
files = {str(f) for f in dist.files}
wanted = {"korvalent_core-stubs/__init__.pyi", "korvalent_core-stubs/cbor.pyi",
          "korvalent_core-stubs/delta.pyi", "korvalent_core_cli/__init__.py",
          "korvalent_core_cli/__main__.py", "korvalent_core_cli/py.typed"}
missing = wanted - files
assert not missing, f"not installed: {sorted(missing)}"
tag = "cp%d%d" % sys.version_info[:2]
tags = [line.split(": ", 1)[1] for line in dist.read_text("WHEEL").splitlines()
        if line.startswith("Tag: ")]
platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
assert tags == [f"{tag}-{tag}-{platform}"], (tags, platform)
assert dist.metadata["License-Expression"] == "Apache-2.0"
print("installed:", korvalent_core.__file__, tags[0])
PY
  ) || return 1
  printf 'abcXdef' >"$tmp/old"; printf 'abcYdef' >"$tmp/new"
  "$1/bin/korvalent-core" diff "$tmp/old" "$tmp/new" -o "$tmp/delta" &&
    "$1/bin/korvalent-core" patch "$tmp/old" "$tmp/delta" -o - | cmp -s - "$tmp/new" ||
    { echo "korvalent-core round trip failed" >&2; return 1; }
}

status=0
install_sdist "$PY39" "$tmp/venv3.9" && check_installed "$tmp/venv3.9" || status=1

test_pins=()
while read -r pin; do test_pins+=("$pin"); done < <(grep -E '^(pytest|hypothesis|cbor2)==' "$ROOT/requirements-dev.txt")
for version in ${VERSIONS:-3.10 3.11 3.12 3.13}; do
  python="$(find_python "$version")"
  if [ -z "$python" ]; then log "CPython $version not under pyenv root: skipped"; continue; fi
  log "CPython $version: install from the sdist, then pytest -m compat"
  venv="$tmp/venv$version"
  if install_sdist "$python" "$venv" && check_installed "$venv" &&
     "$venv/bin/python" -m pip install -q "${test_pins[@]}" >"$venv.pins.log" 2>&1 &&
     (cd "$tmp" && env -u PYTHONPATH -u KORVALENT_MODULE_DIR "$venv/bin/python" -m pytest -q \
        -p no:cacheprovider -m "compat and not slow" --hypothesis-profile=compat -c "$ROOT/pyproject.toml" --rootdir "$ROOT" "$ROOT/tests/python"); then
    :
  else
    log "CPython $version: FAILED"; status=1
  fi
done
exit $status
