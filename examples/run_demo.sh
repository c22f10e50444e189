#!/usr/bin/env bash
# The demo on a fresh machine: finds CPython 3.12, makes a virtual environment (default
# ~/.cache/ombrel/venv-demo, or $OMBREL_DEMO_VENV), builds and installs the module and ombrel_learn
# from this checkout and the demo's dependencies, then trains and evaluates a classifier on 20
# Newsgroups with ombrel_learn (examples/demo.py); with --low-level first, examples/classify.py runs
# instead, the same task written with the module's own operations. The dataset is
# read from $OMBREL_DATA/20newsgroups ($OMBREL_DATA, the folder of datasets, defaults to ../shared/data
# beside the repository), else from the download cache ($XDG_CACHE_HOME or ~/.cache, then
# ombrel/data/20newsgroups), where it is downloaded (about 14 MB, checksum verified) when it is in
# neither place.
# Usage: examples/run_demo.sh [demo.py options, e.g. --data DIR --features chars]
#        examples/run_demo.sh --low-level [classify.py options, e.g. --data DIR --plot out.png]
source "$(dirname "$0")/venv.sh"

ombrel_venv "${OMBREL_DEMO_VENV:-$HOME/.cache/ombrel/venv-demo}" "$ROOT/examples/requirements.txt"

script=demo.py
if [ "${1:-}" = "--low-level" ]; then
  script=classify.py
  shift
fi

if [ $# -eq 0 ]; then
  data=${OMBREL_DATA:-$(dirname "$ROOT")/shared/data}/20newsgroups
  if [ ! -f "$data/train.tsv" ] || [ ! -f "$data/test.tsv" ]; then
    cache=${XDG_CACHE_HOME:-$HOME/.cache}/ombrel/data/20newsgroups
    if [ ! -f "$cache/train.tsv" ] || [ ! -f "$cache/test.tsv" ]; then
      echo "== 20 Newsgroups is not at $data: downloading it into $cache"
      "$VPY" "$ROOT/examples/fetch_20newsgroups.py" "$cache" || exit 1
    fi
    data=$cache
  fi
  set -- --data "$data"
fi

echo "== Running examples/$script $*"
exec "$VPY" "$ROOT/examples/$script" "$@"
