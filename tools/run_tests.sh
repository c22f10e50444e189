#!/usr/bin/env bash
# Every test, from one build: what a contributor runs before each commit.
#   - installs the system packages it needs when they are missing (apt-get, as root or with sudo -n;
#     otherwise it stops and names the command), see tools/system_packages.sh;
#   - finds CPython 3.12 and makes a virtual environment in .venv with the build and test dependencies;
#   - builds the module, ombrel_learn's extensions and the C++ unit tests in one CMake build
#     (build/py, kept between runs, so a second run rebuilds only what changed) and installs the
#     module from it (pip install .);
#   - runs the C++ tests with CTest, then the pytest suite against the installed module: both halves
#     run whatever the other gave, and a failure ends the run non-zero, naming the halves that failed.
# The second builds (ThreadSanitizer, AddressSanitizer, the manylinux wheel tested in a clean virtual
# environment) and the fuzzing are tools/run_sanitizers.sh; CI (.ci/run) runs both commands.
# Usage: tools/run_tests.sh [extra pytest arguments]
#   (--quick, the former inner-loop flag, is accepted and changes nothing: every run is that run now.)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--quick" ]; then shift; fi
ROOT=$(pwd)
START=$SECONDS

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

echo "== Building the module, ombrel_learn's extensions and the C++ tests, and installing the module"
# The C++ tests are built by the same CMake run as the extensions (the same engine objects, in
# Release); scikit-build-core builds every target and installs only the extensions and packages.
"$VPY" -m pip install -q --no-build-isolation --force-reinstall --no-deps \
  -C build-dir="$ROOT/build/py" -C cmake.define.OMBREL_BUILD_TESTS=ON .

# A failure in one half does not stop the other: both run, and the end names what failed.
FAILED=()
echo "== C++ unit tests"
ctest --test-dir build/py --output-on-failure || FAILED+=("the C++ tests (ctest --test-dir build/py)")

echo "== Python tests"
# The browser was installed above: the page's test must run, not skip.
(cd "$ROOT/tests" && OMBREL_REQUIRE_BROWSER=1 "$VPY" -m pytest -q -p no:cacheprovider "$@" .) \
  || FAILED+=("the Python tests (pytest in tests/)")
TOOK="$(( (SECONDS - START) / 60 )) min $(( (SECONDS - START) % 60 )) s"
if [ ${#FAILED[@]} -gt 0 ]; then
  printf '== FAILED after %s: %s\n' "$TOOK" "$(IFS=';'; echo "${FAILED[*]}" | sed 's/;/; /g')" >&2
  exit 1
fi
echo "== Passed in $TOOK (the sanitizer builds and the wheel: tools/run_sanitizers.sh)"
