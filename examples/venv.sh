# Sourced by examples/run_demo.sh and bench/run_peers.sh: finds CPython 3.12, makes a virtual
# environment and installs the module from this checkout into it (rebuilt only when the sources
# changed). Defines: die, ROOT, VPY.
#   ombrel_venv DIR REQUIREMENTS_FILE
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

source "$ROOT/tools/python312.sh"

sources_digest() {
  (cd "$ROOT" && find src python CMakeLists.txt pyproject.toml -type f -print0 | sort -z | xargs -0 sha1sum | sha1sum | cut -c1-40)
}

ombrel_venv() {
  local venv=$1 requirements=$2 py
  py=$(find_python312) || die "$PYTHON312_MISSING"
  command -v cmake >/dev/null 2>&1 || echo "note: no system cmake; the build uses the cmake package from PyPI" >&2
  command -v g++ >/dev/null 2>&1 || command -v c++ >/dev/null 2>&1 || die "no C++ compiler was found. Install one: apt-get install g++"
  if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
    echo "== Creating the virtual environment $venv ($py)"
    rm -rf "$venv"
    mkdir -p "$(dirname "$venv")"
    "$py" -m venv "$venv" || die "could not create a virtual environment (Debian: apt-get install python3.12-venv)"
    "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  fi
  VPY="$venv/bin/python"
  echo "== Installing dependencies from ${requirements#$ROOT/}"
  "$VPY" -m pip install -q -r "$requirements"
  local digest; digest=$(sources_digest)
  if [ "$(cat "$venv/.ombrel-sources" 2>/dev/null)" != "$digest" ] || ! "$VPY" -c 'import ombrel' 2>/dev/null; then
    echo "== Building and installing the module from $ROOT"
    "$VPY" -m pip install -q scikit-build-core cmake ninja
    "$VPY" -m pip install -q --no-build-isolation --force-reinstall --no-deps "$ROOT"
    echo "$digest" > "$venv/.ombrel-sources"
  fi
}
