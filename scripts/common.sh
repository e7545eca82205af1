# Shared by the project's scripts: finds CPython 3.9, installs what the build
# needs on a fresh machine, and keeps the project virtual environment current.
# Source it; it sets ROOT, PY39, VENV and VPY.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
VPY="$VENV/bin/python"

log() { printf '== %s\n' "$*" >&2; }

find_python39() {
  if [ -n "${PYTHON:-}" ]; then
    echo "$PYTHON"; return 0
  fi
  local root=""
  if command -v pyenv >/dev/null 2>&1; then root="$(pyenv root 2>/dev/null || true)"; fi
  [ -n "$root" ] || root="${PYENV_ROOT:-$HOME/.pyenv}"
  local cand
  while IFS= read -r cand; do
    if [ -x "$cand/bin/python3.9" ]; then echo "$cand/bin/python3.9"; return 0; fi
  done < <(ls -d "$root"/versions/3.9.* 2>/dev/null | sort -V -r)
  if command -v python3.9 >/dev/null 2>&1; then command -v python3.9; return 0; fi
  echo "CPython 3.9 not found: install it with pyenv or set PYTHON=/path/to/python3.9" >&2
  return 1
}

# Callers may run these functions inside `if` or `&&`, where bash ignores
# `set -e`: every step that can fail returns at once by itself.

# Debian packages: the GoogleTest sources, Google Benchmark, clang for the
# fuzz targets, and a compiler. Installed only when missing.
ensure_debian_packages() {
  local want=("$@") missing=() p
  for p in "${want[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" != 0 ] && ! command -v sudo >/dev/null 2>&1; then
    echo "missing Debian packages: ${missing[*]} (install them as root)" >&2; return 1
  fi
  local SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
  log "installing Debian packages: ${missing[*]}"
  $SUDO apt-get update -qq || return 1
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null || return 1
}

# The project venv, made with CPython 3.9 and filled from the pinned lists.
# A stamp of the requirement files keeps repeated runs fast.
ensure_venv() {
  PY39="$(find_python39)" || return 1
  local ver
  ver="$("$PY39" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" || return 1
  if [ "$ver" != "3.9" ]; then echo "$PY39 is Python $ver, not 3.9" >&2; return 1; fi
  if [ -x "$VPY" ] && ! "$VPY" -c 'import sys; assert sys.version_info[:2] == (3, 9)' 2>/dev/null; then
    rm -rf "$VENV"
  fi
  if [ ! -x "$VPY" ]; then
    log "creating $VENV with $PY39"
    "$PY39" -m venv "$VENV" || return 1
    "$VPY" -m pip install -q --upgrade pip || return 1
  fi
  local stamp="$VENV/.requirements.sha" want
  want="$(cat "$@" | sha256sum | cut -d' ' -f1)" || return 1
  if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
    log "installing pinned Python packages: $*"
    local args=() f
    for f in "$@"; do args+=(-r "$f"); done
    "$VPY" -m pip install -q "${args[@]}" || return 1
    echo "$want" > "$stamp"
  fi
  export PATH="$VENV/bin:$PATH"
}

# Configures and builds one CMake tree. Usage: cmake_build DIR [-D...]
cmake_build() {
  local dir="$1"; shift
  local pybind_dir
  pybind_dir="$("$VPY" -m pybind11 --cmakedir)" || return 1
  cmake -S "$ROOT" -B "$dir" -G Ninja \
    -DPython_EXECUTABLE="$VPY" -Dpybind11_DIR="$pybind_dir" "$@" >/dev/null || return 1
  cmake --build "$dir" -j "$(nproc)"
}

setup_all() {
  ensure_debian_packages g++ libgtest-dev || return 1
  ensure_venv "$ROOT/requirements-dev.txt"
}

module_dir() { echo "$ROOT/build/release"; }

build_module() {
  cmake_build "$(module_dir)" -DCMAKE_BUILD_TYPE=Release -DKORVALENT_MODULE=ON -DKORVALENT_TESTS=ON
}
