#!/usr/bin/env bash
# Sets up and runs every test on a fresh machine:
#   - finds CPython 3.12 and makes a virtual environment in .venv with the build and test dependencies;
#   - builds and installs the module into it (pip install .);
#   - builds the C++ unit tests and runs them with CTest, then again under ThreadSanitizer;
#   - runs the pytest suite against the installed module, then builds the manylinux wheel and runs the
#     suite again against it, installed in a clean virtual environment.
# Usage: tools/run_tests.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

source tools/python312.sh

PY=$(find_python312) || die "$PYTHON312_MISSING"
command -v cmake >/dev/null 2>&1 || die "cmake was not found. Install it: apt-get install cmake (or pip install cmake)"
command -v g++ >/dev/null 2>&1 || die "g++ was not found. Install it: apt-get install g++"
if [ ! -f /usr/include/gtest/gtest.h ] && [ ! -f /usr/local/include/gtest/gtest.h ]; then
  die "GoogleTest was not found. Install it: apt-get install libgtest-dev"
fi

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

echo "== C++ unit tests under ThreadSanitizer"
cmake -S . -B build/tsan -DOMBREL_BUILD_MODULE=OFF -DOMBREL_BUILD_TESTS=ON -DOMBREL_SANITIZE=thread \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/tsan -j "$JOBS" >/dev/null
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 allocator_may_return_null=1" ctest --test-dir build/tsan --output-on-failure

echo "== Python tests"
(cd "$ROOT/tests" && "$VPY" -m pytest -q -p no:cacheprovider "$@" .)

echo "== Python tests against the installed wheel, in a clean virtual environment"
PYTHON312="$PY" "$ROOT/tools/test_wheel.sh" "$@"
