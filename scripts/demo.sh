#!/usr/bin/env bash
# Builds the module and runs the example: dumps, diff and patch on real data.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup_all
build_module
PYTHONPATH="$(module_dir)" "$VPY" "$ROOT/examples/demo.py" "$@"
