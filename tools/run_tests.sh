#!/usr/bin/env bash
# Sets up and runs every test on a fresh machine:
#   - installs the system packages it needs when they are missing (apt-get, as root or with sudo -n;
#     otherwise it stops and names the command), see tools/system_packages.sh;
#   - finds CPython 3.12 and makes a virtual environment in .venv with the build and test dependencies;
#   - builds and installs the module into it (pip install .);
#   - builds the C++ unit tests and runs them with CTest, then again under ThreadSanitizer;
#   - runs the pytest suite against the installed module, then builds the manylinux wheel and runs the
#     suite again against it, installed in a clean virtual environment.
# Usage: tools/run_tests.sh [--quick] [extra pytest arguments]
#   --quick: the inner loop while changing code: build and install the module, the C++ tests, pytest;
#            no ThreadSanitizer build and no wheel. Run the full command before you commit.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
QUICK=0
if [ "${1:-}" = "--quick" ]; then QUICK=1; shift; fi

source tools/python312.sh
source tools/system_packages.sh

ensure_system_packages "${OMBREL_TEST_PACKAGES[@]}"
PY=$(find_python312) || die "$PYTHON312_MISSING"

echo "== Python: $PY"
if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))'; then
  rm -rf .venv
  "$PY" -m venv .venv || die "could not create a virtual environment (Debian: apt-get install python3.12-venv)"
fi
VPY="$ROOT/.venv/bin/python"
"$VPY" -m pip install -q --upgrade pip >/dev/null
"$VPY" -m pip install -q -r requirements-dev.txt -r requirements-dist.txt

echo "== Building and installing the module"
"$VPY" -m pip install -q --no-build-isolation --force-reinstall --no-deps .

echo "== C++ unit tests"
cmake -S . -B build/cpp -DOMBREL_BUILD_MODULE=OFF -DOMBREL_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/cpp -j "$JOBS" >/dev/null
ctest --test-dir build/cpp --output-on-failure

if [ "$QUICK" = 0 ]; then
  echo "== C++ unit tests under ThreadSanitizer"
  cmake -S . -B build/tsan -DOMBREL_BUILD_MODULE=OFF -DOMBREL_BUILD_TESTS=ON -DOMBREL_SANITIZE=thread \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build/tsan -j "$JOBS" >/dev/null
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 allocator_may_return_null=1" ctest --test-dir build/tsan --output-on-failure
fi

echo "== Python tests"
(cd "$ROOT/tests" && "$VPY" -m pytest -q -p no:cacheprovider "$@" .)

[ "$QUICK" = 1 ] && { echo "== Quick run passed (no ThreadSanitizer build, no wheel)"; exit 0; }

echo "== Python tests against the installed wheel, in a clean virtual environment"
PYTHON312="$PY" "$ROOT/tools/test_wheel.sh" "$@"
