#!/usr/bin/env bash
# The long fuzzing run: every fuzz target (or those named) for SECONDS each, one after another.
#   tools/fuzz_long.sh [SECONDS] [tokenizer_fuzzer] [weight_file_fuzzer] [textpipe_fuzzer] [surface] [pipeline]
#                      [data_file] [server]
# SECONDS defaults to 3600. Builds as tools/run_sanitizers.sh does (clang; Debian: clang
# libclang-rt-14-dev), in $OMBREL_SANITIZER_BUILD (default build/sanitizers). The corpus grows in
# $OMBREL_SANITIZER_BUILD/corpus/<target> from one run to the next, seeded from fuzz/corpus/<target>;
# findings (crash-*, timeout-*, leak-*, oom-* inputs) are kept in $OMBREL_SANITIZER_BUILD/findings.
# A finding stops the run with the input's path: replay it with the target and that path, and turn it
# into a regression test. FUZZ_JOBS (default 1) runs that many fuzzing processes per target.
# FUZZ_RUNS (default none) also stops each target after that many executions (-runs), so that
# SECONDS becomes a cap: FUZZ_RUNS=10000000 tools/fuzz_long.sh 7200 fuzzes each target for ten
# million inputs or two hours, whichever comes first. FUZZ_PLAIN=1 fuzzes the native targets on a build
# without sanitizers (several times faster), then replays each grown corpus under ASan + UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
SECONDS_PER_TARGET=${1:-3600}
[ $# -gt 0 ] && shift
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(tokenizer_fuzzer weight_file_fuzzer textpipe_fuzzer surface pipeline data_file server)
FUZZ_JOBS=${FUZZ_JOBS:-1}
# shellcheck source=../fuzz/lib.sh
. fuzz/lib.sh
ombrel_prepare

PARALLEL=()
[ "$FUZZ_JOBS" -gt 1 ] && PARALLEL=(-fork="$FUZZ_JOBS" -ignore_crashes=0)
RUNS=()
[ -n "${FUZZ_RUNS:-}" ] && RUNS=(-runs="$FUZZ_RUNS")
for target in "${TARGETS[@]}"; do
  case "$target" in
    tokenizer_fuzzer|weight_file_fuzzer|textpipe_fuzzer)
      if [ -z "${FUZZERS_BUILT:-}" ]; then
        echo "== Building the fuzz targets"
        ombrel_build_fuzzers  # incremental: also brings a stale build up to date
        [ "${FUZZ_PLAIN:-0}" = 1 ] && ombrel_build_fuzzers_plain
        FUZZERS_BUILT=1
      fi
      if [ "${FUZZ_PLAIN:-0}" = 1 ]; then
        OMBREL_FUZZ_BUILD="$OMBREL_BUILD/fuzz-plain" \
          ombrel_fuzz_native "$target" "$SECONDS_PER_TARGET" "$OMBREL_BUILD/corpus/$target" "${PARALLEL[@]}" "${RUNS[@]}"
        ombrel_fuzz_replay_native "$target" "$OMBREL_BUILD/corpus/$target" "fuzz/corpus/$target"
      else
        ombrel_fuzz_native "$target" "$SECONDS_PER_TARGET" "$OMBREL_BUILD/corpus/$target" "${PARALLEL[@]}" "${RUNS[@]}"
      fi
      ;;
    surface|pipeline|data_file|server)
      if [ -z "${ASAN_MODULE_DIR:-}" ]; then
        echo "== Building the ASan module and the fuzzing runtime"
        ombrel_build_asan
        ombrel_venv
        ombrel_fuzz_runtime
      fi
      "ombrel_fuzz_$target" "$SECONDS_PER_TARGET" "$OMBREL_BUILD/corpus/$target" "${RUNS[@]}"
      ;;
    *) die "unknown fuzz target '$target' (tokenizer_fuzzer, weight_file_fuzzer, textpipe_fuzzer, surface, pipeline, data_file, server)" ;;
  esac
done
