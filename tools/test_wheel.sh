#!/usr/bin/env bash
# Tests the wheel as a user gets it:
#   - builds the manylinux wheel (tools/build_wheel.sh);
#   - installs it into a new, empty virtual environment, with the test dependencies only;
#   - copies the project's files (no build outputs) to a temporary folder and runs the pytest suite
#     from the copy's tests/, so the only ombrel that can be imported is the installed wheel's, and
#     checks that it is.
# The datasets are read from ../shared/data beside the repository (or $OMBREL_DATA).
# Usage: tools/test_wheel.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

WHEEL=$(tools/build_wheel.sh "$ROOT/build/wheel/dist" | tail -n 1)
# The wheel tools' environment made with CPython 3.12; a venv made from it is based on the same
# interpreter and inherits none of its packages.
PY="$ROOT/build/wheel/venv/bin/python"

SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/ombrel-wheel-test.XXXXXX")
trap 'rm -rf "$SCRATCH"' EXIT

echo "== Clean virtual environment with $(basename "$WHEEL")"
"$PY" -m venv "$SCRATCH/venv"
VPY="$SCRATCH/venv/bin/python"
"$VPY" -m pip install -q --upgrade pip >/dev/null
# The test dependencies, without the requirement files' comments (the serving tests need uvicorn).
"$VPY" -m pip install -q "$WHEEL" \
  $(grep -E '^(pytest|numpy|scikit-learn|pandas|uvicorn|uvloop|httptools|sybil|selenium)' requirements-dev.txt | sed 's/[[:space:]]*#.*//') \
  $(grep -E '^(dask|mypy)' requirements-dist.txt | sed 's/[[:space:]]*#.*//')

echo "== Copy of the project without build outputs"
mkdir "$SCRATCH/project"
if git -C "$ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$ROOT" ls-files -z --cached --others --exclude-standard |
    (cd "$ROOT" && tar --null --ignore-failed-read -T - -cf -) | tar -xf - -C "$SCRATCH/project"
else
  cp -r tests examples src "$SCRATCH/project/"
fi
find "$SCRATCH/project" -name '*.so' -delete

cd "$SCRATCH/project/tests"
"$VPY" - "$SCRATCH/venv" <<'PY'
import pathlib, sys
import ombrel
venv = pathlib.Path(sys.argv[1]).resolve()
where = pathlib.Path(ombrel.__file__).resolve()
assert venv in where.parents, f"ombrel was imported from {where}, not from the wheel in {venv}"
print(f"== ombrel from {where}")
PY
export OMBREL_DATA="${OMBREL_DATA:-$(cd "$ROOT/.." && pwd)/shared/data}"
echo "== Python tests against the installed wheel"
"$VPY" -m pytest -q -p no:cacheprovider "$@" .
