#!/usr/bin/env bash
# The serving soak: tools/soak.sh [MINUTES]   (default 30)
# Serves a 20 Newsgroups model with 2 workers under mixed prediction, feedback training and hot swaps
# for MINUTES, sampling each worker's RSS, open file descriptors and mappings; fails when a request
# fails, a worker crashes or a figure grows beyond its slack (see tools/soak_serving.py). Installs the
# load generator wrk when it is missing; needs .venv with ombrel and uvicorn (tools/run_tests.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/serving_setup.sh
serving_setup soak.sh
exec .venv/bin/python tools/soak_serving.py "${1:-30}" "${@:2}"
