#!/usr/bin/env bash
# Benchmarks ombrel and ombrel_learn (defaults, and autotune with a 30 s budget) against scikit-learn
# (TF-IDF + LinearSVC among its pipelines), fastText (word unigrams and bigrams, 5 and 25 epochs) and
# Vowpal Wabbit on the four datasets in ../shared/data, in one run; prints ombrel_learn's goals
# beside the differences and ratios measured, and writes bench/RESULTS.md, bench/peers_results.json
# and bench/peers_accuracy_throughput.png.
# Makes (or reuses) a virtual environment, default ~/.cache/ombrel/venv-bench or $OMBREL_BENCH_VENV,
# with the module built from this checkout and the peers: fastText from the package `fasttext`
# (falling back to `fasttext-wheel`) and `vowpalwabbit`. A peer that does not install is reported as
# such in RESULTS.md. Then bench/bench_learn.py measures ombrel_learn against fastText and scikit-learn
# from raw text and prints its ratios. About 30 minutes on 2 cores
# (TF-IDF + LinearSVC alone fits for about 2 minutes on the 73 languages of Tatoeba).
# Usage: bench/run_peers.sh [bench_peers.py options, e.g. --data DIR --datasets sms_spam]
source "$(dirname "$0")/../examples/venv.sh"

ombrel_venv "${OMBREL_BENCH_VENV:-$HOME/.cache/ombrel/venv-bench}" "$ROOT/bench/requirements.txt"

status_file=$(mktemp)
trap 'rm -f "$status_file"' EXIT
install_peer() {  # install_peer MODULE PACKAGE [FALLBACK_PACKAGE]
  local module=$1; shift
  if "$VPY" -c "import $module" 2>/dev/null; then return 0; fi
  local package log
  for package in "$@"; do
    echo "== Installing $package"
    if log=$("$VPY" -m pip install -q "$package" 2>&1); then
      echo "$module: installed from $package" >> "$status_file"; return 0
    fi
    echo "$module: pip install $package failed: $(echo "$log" | grep -v '^ *$' | tail -n 1)" >> "$status_file"
  done
  echo "warning: $module could not be installed; it is reported as not installed" >&2
}
install_peer fasttext fasttext fasttext-wheel
install_peer vowpalwabbit vowpalwabbit

export BENCH_INSTALL_STATUS="$status_file"
echo "== Running bench/bench_peers.py $*"
"$VPY" "$ROOT/bench/bench_peers.py" "$@"
echo "== Running bench/bench_learn.py (ombrel_learn from raw text against fastText and scikit-learn)"
"$VPY" "$ROOT/bench/bench_learn.py" --datasets 20newsgroups,ag_news,sms_spam,lang_id_tatoeba
