#!/usr/bin/env bash
# The sanitizer runs and a short run of every fuzz target (clang and its runtimes, installed when
# missing as tools/run_tests.sh does):
#   1. the C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer, leak detection on;
#   2. the C++ tests under ThreadSanitizer (the pool, batches, saving while training, ...);
#   3. the manylinux wheel (tools/build_wheel.sh) installed in a clean virtual environment, and the
#      pytest suite run against it from a copy of the project (tools/test_wheel.sh);
#   4. the pytest suite (ombrel_learn's included) against the modules built with ASan + UBSan: the
#      interpreter runs with the ASan runtime preloaded and PYTHONMALLOC=malloc, so that every Python
#      object is an ASan allocation.
#      Leak detection is off here: CPython does not free everything at exit, by design, and each of
#      those blocks would be reported. (Leaks of the module are watched by the resource-hygiene tests.)
#      The RSS test of that suite skips itself there: under ASan the resident size measures ASan's
#      quarantine of freed blocks, not our memory; the normal test command runs it;
#   5. each fuzz target for FUZZ_SECONDS (default 20): the tokenizer core, weight files, ombrel_learn's
#      text pipeline, and through atheris (the libFuzzer driver for Python) the Python surface,
#      ombrel_learn's vocabularies and model folders, the command line's data-file reader and the
#      server's request handling, from the seed corpora in fuzz/corpus.
# Builds go to $OMBREL_SANITIZER_BUILD (default build/sanitizers). Figures are printed as it goes.
# Usage: tools/run_sanitizers.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
FUZZ_SECONDS=${FUZZ_SECONDS:-20}
# shellcheck source=../fuzz/lib.sh
. fuzz/lib.sh
. tools/system_packages.sh
ensure_system_packages "${OMBREL_SANITIZER_PACKAGES[@]}"
ombrel_prepare

echo "== Building with AddressSanitizer + UndefinedBehaviorSanitizer (module and C++ tests)"
ombrel_build_asan
echo "== C++ tests under ASan + UBSan"
ASAN_OPTIONS="$ASAN_COMMON:detect_leaks=1" ctest --test-dir "$OMBREL_BUILD/asan" --output-on-failure

# ThreadSanitizer does not model standalone fences (GCC says so with -Wtsan; clang, used here, is
# silent). The engine has three: a record's training lock is taken, then a release fence; a save
# reads the record's words, then an acquire fence, then checks the lock again. Every word is read and
# written atomically, so TSan has no race to report there either way, and the order those fences give
# (a save that saw a step's write sees the record locked) is not carried by the atomics TSan sees: it
# is checked by behaviour instead, by ConcurrentSaveTest.SavedRecordsAreNeverCaughtHalfWayThroughAStep
# (tests/cpp/persistence_test.cpp), in the test command's build and here.
echo "== C++ tests under ThreadSanitizer"
ombrel_build_tsan
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 allocator_may_return_null=1" \
  ctest --test-dir "$OMBREL_BUILD/tsan" --output-on-failure

echo "== The manylinux wheel, and the pytest suite against it in a clean virtual environment"
PYTHON312="$PY" tools/test_wheel.sh "$@"

echo "== Python tests against the ASan + UBSan module"
ombrel_venv
(cd tests && LD_PRELOAD="$ASAN_RUNTIME" PYTHONMALLOC=malloc ASAN_OPTIONS="$ASAN_COMMON:detect_leaks=0" \
  PYTHONPATH="$ASAN_PYTHONPATH" "$VENV_PY" -m pytest -q -p no:cacheprovider "$@" .)

echo "== Fuzzing, $FUZZ_SECONDS s per target"
ombrel_build_fuzzers
ombrel_fuzz_runtime
CORPUS_WORK=$(mktemp -d)
trap 'rm -rf "$CORPUS_WORK"' EXIT
ombrel_fuzz_native tokenizer_fuzzer "$FUZZ_SECONDS" "$CORPUS_WORK/tokenizer_fuzzer"
ombrel_fuzz_native weight_file_fuzzer "$FUZZ_SECONDS" "$CORPUS_WORK/weight_file_fuzzer"
ombrel_fuzz_native textpipe_fuzzer "$FUZZ_SECONDS" "$CORPUS_WORK/textpipe_fuzzer"
ombrel_fuzz_surface "$FUZZ_SECONDS" "$CORPUS_WORK/surface"
ombrel_fuzz_pipeline "$FUZZ_SECONDS" "$CORPUS_WORK/pipeline"
ombrel_fuzz_data_file "$FUZZ_SECONDS" "$CORPUS_WORK/data_file"
ombrel_fuzz_server "$FUZZ_SECONDS" "$CORPUS_WORK/server"
echo "== Sanitizer runs and fuzzing: no finding"
