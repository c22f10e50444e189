# Sourced by the project's shell scripts: `die` and `find_python312`, which prints the path of a
# CPython 3.12 interpreter ($PYTHON312, python3.12 on the PATH, or the newest 3.12 under pyenv).
die() { echo "error: $*" >&2; exit 1; }

readonly PYTHON312_MISSING="CPython 3.12 was not found. Install it (Debian: apt-get install python3.12 python3.12-dev python3.12-venv; or: pyenv install 3.12) or set PYTHON312=/path/to/python3.12"

find_python312() {
  local candidate
  for candidate in "${PYTHON312:-}" python3.12; do
    [ -n "$candidate" ] || continue
    if command -v "$candidate" >/dev/null 2>&1 &&
       "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1; then
      command -v "$candidate"; return 0
    fi
  done
  local root=""
  if command -v pyenv >/dev/null 2>&1; then root=$(pyenv root); elif [ -d "$HOME/.pyenv" ]; then root="$HOME/.pyenv"; fi
  if [ -n "$root" ]; then
    candidate=$(ls -d "$root"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V | tail -n 1)
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then echo "$candidate"; return 0; fi
  fi
  return 1
}
