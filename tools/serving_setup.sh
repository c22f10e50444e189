# What the serving load test (bench/load_test.sh) and the soak (tools/soak.sh) need before they start:
# the load generator wrk (installed when missing, see tools/system_packages.sh) and the project's
# virtual environment with ombrel and uvicorn (made by tools/run_tests.sh). Source it from the
# repository root; serving_setup NAME stops with a message naming NAME when something is missing.
source tools/system_packages.sh

serving_setup() {
  local name=$1
  ensure_system_packages "wrk|command -v wrk"
  [ -x .venv/bin/python ] || { echo "$name: no .venv: run tools/run_tests.sh --quick first" >&2; exit 1; }
  .venv/bin/python -c 'import uvicorn' 2>/dev/null ||
    { echo "$name: uvicorn is missing: .venv/bin/pip install -r requirements-dev.txt" >&2; exit 1; }
}
