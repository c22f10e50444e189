#!/usr/bin/env bash
# The serving load test: bench/load_test.sh [--seconds S] [--json out.json]
# Installs the load generator wrk when it is missing (apt-get, as root or with sudo -n; otherwise it
# names the command), then runs bench/bench_serving.py with the project's virtual environment (made
# by tools/run_tests.sh), which must have ombrel installed with its serve extra (uvicorn).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/serving_setup.sh
serving_setup load_test.sh
exec .venv/bin/python bench/bench_serving.py "$@"
