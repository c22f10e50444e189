#!/usr/bin/env bash
# The demo on a fresh machine. First the data: 20 Newsgroups is looked for where
# examples/dataset_paths.py looks ($OMBREL_DATA/20newsgroups, $OMBREL_DATA defaulting to
# ../shared/data beside the repository, then the download cache $XDG_CACHE_HOME/ombrel/data, or
# ~/.cache/ombrel/data); when it is in neither place, it is downloaded into the cache (about 14 MB,
# checksum verified) after a check, in seconds, that a mirror answers; offline, the script stops there
# and says where to put the files. Then it finds CPython 3.12, makes a virtual environment
# ($OMBREL_DEMO_VENV, default venv-demo in $XDG_CACHE_HOME/ombrel or ~/.cache/ombrel), builds and
# installs the module and ombrel_learn from this checkout with the demo's dependencies, and trains and
# evaluates a classifier with ombrel_learn (examples/demo.py); with --low-level first,
# examples/classify.py runs instead, the same task written with the module's own operations.
# With --data, --train or --test among the options, the data is theirs and nothing is looked for.
# Usage: examples/run_demo.sh [demo.py options, e.g. --features chars --out MODEL_DIR]
#        examples/run_demo.sh --low-level [classify.py options, e.g. --data DIR --plot out.png]
source "$(dirname "$0")/venv.sh"

script=demo.py
if [ "${1:-}" = "--low-level" ]; then
  script=classify.py
  shift
fi

PY=$(find_python312) || die "$PYTHON312_MISSING"
own_data=0
for arg in "$@"; do
  case "$arg" in --data|--data=*|--train|--train=*|--test|--test=*) own_data=1 ;; esac
done
if [ "$own_data" = 0 ]; then
  if ! data=$("$PY" "$ROOT/examples/dataset_paths.py" 20newsgroups); then
    data="$("$PY" "$ROOT/examples/dataset_paths.py" --cache)/20newsgroups"
    echo "== 20 Newsgroups: downloading it into $data"
    "$PY" "$ROOT/examples/fetch_20newsgroups.py" --check "$data" || exit 1
    "$PY" "$ROOT/examples/fetch_20newsgroups.py" "$data" || exit 1
  fi
  set -- --data "$data" "$@"
fi

ombrel_venv "${OMBREL_DEMO_VENV:-${XDG_CACHE_HOME:-$HOME/.cache}/ombrel/venv-demo}" "$ROOT/examples/requirements.txt"

echo "== Running examples/$script $*"
exec "$VPY" "$ROOT/examples/$script" "$@"
