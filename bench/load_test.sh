#!/usr/bin/env bash
# The serving load test: bench/load_test.sh [--seconds S] [--json out.json]
# Installs the load generator wrk when it is missing (apt-get, as root or with sudo -n; otherwise it
# names the command), then runs bench/bench_serving.py with the project's virtual environment (made
# by tools/run_tests.sh), which must have ombrel installed with its serve extra (uvicorn).
set -euo pipefail
cd "$(dirname "$0")/.."
die() { echo "load_test.sh: $*" >&2; exit 1; }
source tools/system_packages.sh
ensure_system_packages "wrk|command -v wrk"
[ -x .venv/bin/python ] || die "no .venv: run tools/run_tests.sh --quick first"
.venv/bin/python -c 'import uvicorn' 2>/dev/null || die "uvicorn is missing: .venv/bin/pip install -r requirements-dev.txt"
exec .venv/bin/python bench/bench_serving.py "$@"
