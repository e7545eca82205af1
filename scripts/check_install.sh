#!/usr/bin/env bash
# Installs the project with pip into a throwaway CPython 3.9 venv, exactly as a
# user would, and imports the installed module from outside the source tree.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
PY39="$(find_python39)"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
"$PY39" -m venv "$tmp/venv"
"$tmp/venv/bin/python" -m pip install -q "$ROOT"
cd "$tmp"
"$tmp/venv/bin/python" - <<'PY'
import korvalent_core, korvalent_core.cbor, korvalent_core.delta
print("installed:", korvalent_core.__file__)
PY
