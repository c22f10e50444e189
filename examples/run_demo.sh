#!/usr/bin/env bash
# The demo on a fresh machine: finds CPython 3.12, makes a virtual environment (default
# ~/.cache/ombrel/venv-demo, or $OMBREL_DEMO_VENV), builds and installs the module from this checkout
# and the demo's dependencies, then trains and evaluates a classifier on 20 Newsgroups
# (../shared/data/20newsgroups beside the repository, or $OMBREL_DATA).
# Usage: examples/run_demo.sh [classify.py options, e.g. --data DIR --features chars --plot out.png]
source "$(dirname "$0")/venv.sh"

if [ $# -eq 0 ]; then
  data=${OMBREL_DATA:-$(dirname "$ROOT")/shared/data/20newsgroups}
  if [ ! -f "$data/train.tsv" ] || [ ! -f "$data/test.tsv" ]; then
    die "the demo's dataset was not found at $data.
Put 20 Newsgroups there as train.tsv and test.tsv (UTF-8, one example per line: label<TAB>text),
set OMBREL_DATA=DIR, or pass --data DIR / --train FILE --test FILE (see examples/classify.py --help)."
  fi
fi

ombrel_venv "${OMBREL_DEMO_VENV:-$HOME/.cache/ombrel/venv-demo}" "$ROOT/examples/requirements.txt"
echo "== Running examples/classify.py $*"
exec "$VPY" "$ROOT/examples/classify.py" "$@"
