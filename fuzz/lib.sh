# Shell functions shared by tools/run_sanitizers.sh and tools/fuzz_long.sh. Source it from the
# repository root with JOBS set, then call ombrel_prepare (sets OMBREL_BUILD, the build folder, and PY).
#
# Builds, all with clang:
#   $OMBREL_BUILD/asan   the module and the C++ tests with AddressSanitizer + UndefinedBehaviorSanitizer
#                        and coverage counters (-fsanitize=fuzzer-no-link), so that the same module serves
#                        pytest and the coverage-guided fuzzing of the Python surface
#   $OMBREL_BUILD/tsan   the C++ tests with ThreadSanitizer
#   $OMBREL_BUILD/fuzz   the libFuzzer targets of fuzz/ (fuzz/CMakeLists.txt)
#   $OMBREL_BUILD/fuzz-plain   the same targets without sanitizers (-O2, libFuzzer only): several
#                        times more inputs per second, for long campaigns whose grown corpus is then
#                        replayed by the sanitized build (ombrel_fuzz_replay_native)
#   $OMBREL_BUILD/venv   CPython 3.12 with pytest, numpy and atheris
#   $OMBREL_BUILD/asan_with_fuzzer.so   the ASan runtime and libFuzzer in one preloadable library:
#                        atheris then drives libFuzzer from there, and the module's coverage counters
#                        reach it (with the plain ASan runtime they would go to its empty stubs)

# die, find_python312 and PYTHON312_MISSING.
. tools/python312.sh

# The build folder ($OMBREL_SANITIZER_BUILD, default build/sanitizers) as an absolute path in
# OMBREL_BUILD, CPython 3.12 in PY, and the tools every sanitizer build needs.
ombrel_prepare() {
  OMBREL_BUILD=${OMBREL_SANITIZER_BUILD:-build/sanitizers}
  mkdir -p "$OMBREL_BUILD"
  OMBREL_BUILD=$(cd "$OMBREL_BUILD" && pwd)
  PY=$(find_python312) || die "$PYTHON312_MISSING"
  command -v cmake >/dev/null 2>&1 || die "cmake was not found. Install it: apt-get install cmake"
  ombrel_require_clang
}

# Checks clang and its sanitizer and libFuzzer runtimes; sets ASAN_RUNTIME and CLANG_RT_DIR.
ombrel_require_clang() {
  command -v clang >/dev/null 2>&1 && command -v clang++ >/dev/null 2>&1 ||
    die "clang was not found. Install it: apt-get install clang libclang-rt-14-dev"
  ASAN_RUNTIME=$(clang -print-file-name=libclang_rt.asan-x86_64.so)
  CLANG_RT_DIR=$(dirname "$ASAN_RUNTIME")
  local lib
  for lib in libclang_rt.asan-x86_64.so libclang_rt.asan-x86_64.a libclang_rt.asan_cxx-x86_64.a \
             libclang_rt.fuzzer-x86_64.a libclang_rt.fuzzer_no_main-x86_64.a libclang_rt.tsan-x86_64.a; do
    [ -f "$CLANG_RT_DIR/$lib" ] ||
      die "clang's runtime $lib was not found. Install it: apt-get install libclang-rt-14-dev (or the libclang-rt-N-dev of your clang)"
  done
}

# Options shared by every sanitized run. allocator_may_return_null: the engine's tests ask for
# impossible blocks on purpose and expect the allocation to fail, not the sanitizer to stop.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
ASAN_COMMON="allocator_may_return_null=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"

ombrel_cmake() {  # ombrel_cmake <source> <build> [cmake -D options...]
  local source=$1 build=$2; shift 2
  CC=clang CXX=clang++ cmake -S "$source" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$build" -j "$JOBS" >/dev/null
}

ombrel_build_asan() {
  ombrel_cmake . "$OMBREL_BUILD/asan" -DOMBREL_SANITIZE=address -DOMBREL_BUILD_TESTS=ON \
    -DOMBREL_BUILD_MODULE=ON -DPython_EXECUTABLE="$PY" -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link
  ASAN_MODULE_DIR="$OMBREL_BUILD/asan/src/lib"
  ls "$ASAN_MODULE_DIR"/ombrel.cpython-312-*.so >/dev/null 2>&1 || die "the ASan module was not built"
  # ombrel_learn as an importable package: its Python files beside its two extensions built with ASan.
  ASAN_LEARN_DIR="$OMBREL_BUILD/asan/site"
  rm -rf "$ASAN_LEARN_DIR"
  mkdir -p "$ASAN_LEARN_DIR"
  cp -r python/ombrel_learn "$ASAN_LEARN_DIR/"
  cp "$OMBREL_BUILD"/asan/src/learn_glue/_native.cpython-312-*.so "$OMBREL_BUILD"/asan/src/learn_glue/_learners.cpython-312-*.so \
    "$ASAN_LEARN_DIR/ombrel_learn/" || die "the ASan build of ombrel_learn's extensions is missing"
  ASAN_PYTHONPATH="$ASAN_MODULE_DIR:$ASAN_LEARN_DIR"
}

ombrel_build_tsan() {
  ombrel_cmake . "$OMBREL_BUILD/tsan" -DOMBREL_SANITIZE=thread -DOMBREL_BUILD_TESTS=ON -DOMBREL_BUILD_MODULE=OFF
}

ombrel_build_fuzzers() {
  ombrel_cmake fuzz "$OMBREL_BUILD/fuzz"
}

ombrel_build_fuzzers_plain() {
  ombrel_cmake fuzz "$OMBREL_BUILD/fuzz-plain" -DOMBREL_FUZZ_SANITIZERS=
}

ombrel_venv() {
  local venv="$OMBREL_BUILD/venv"
  if [ ! -x "$venv/bin/python" ]; then
    "$PY" -m venv "$venv" || die "could not create a virtual environment (Debian: apt-get install python3.12-venv)"
  fi
  VENV_PY="$venv/bin/python"
  "$VENV_PY" -m pip install -q --upgrade pip >/dev/null
  "$VENV_PY" -m pip install -q "pytest>=8" numpy tqdm
  HAVE_ATHERIS=1
  "$VENV_PY" -m pip install -q atheris >/dev/null 2>&1 || HAVE_ATHERIS=0
}

ombrel_fuzz_runtime() {
  FUZZ_RUNTIME="$OMBREL_BUILD/asan_with_fuzzer.so"
  [ -f "$FUZZ_RUNTIME" ] && return 0
  local work; work=$(mktemp -d)
  mkdir "$work/asan" "$work/cxx" "$work/fuzzer"
  # The static ASan runtime without its .preinit_array object (not allowed in a shared library;
  # LD_PRELOAD initialises the runtime early enough), the C++ part, and libFuzzer without main().
  (cd "$work/asan" && ar x "$CLANG_RT_DIR/libclang_rt.asan-x86_64.a" && rm -f asan_preinit.cpp.o)
  (cd "$work/cxx" && ar x "$CLANG_RT_DIR/libclang_rt.asan_cxx-x86_64.a")
  (cd "$work/fuzzer" && ar x "$CLANG_RT_DIR/libclang_rt.fuzzer_no_main-x86_64.a")
  clang++ -shared -o "$FUZZ_RUNTIME" "$work"/asan/*.o "$work"/cxx/*.o "$work"/fuzzer/*.o -lpthread -ldl -lrt -lm
  rm -rf "$work"
}

# Runs `$@` (a command and its arguments) and prints one line of figures from libFuzzer's final stats.
# Fails, keeping the log, when libFuzzer reports a finding.
ombrel_fuzz_run() {
  local label=$1 log=$2; shift 2
  local start end status=0
  start=$(date +%s)
  "$@" >"$log" 2>&1 || status=$?
  end=$(date +%s)
  local runs units
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  units=$(sed -n 's/^stat::new_units_added: *//p' "$log" | tail -n 1)
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log" >&2
    die "fuzz $label: finding after $((end - start)) s (exit $status); the log is $log"
  fi
  echo "fuzz $label: ${runs:-?} executions in $((end - start)) s, ${units:-0} new corpus units, no finding"
}

# ombrel_fuzz_native <target> <seconds> <corpus work dir> [extra libFuzzer flags]
# OMBREL_FUZZ_BUILD (default $OMBREL_BUILD/fuzz) names the build to run: $OMBREL_BUILD/fuzz-plain
# for the plain one.
ombrel_fuzz_native() {
  local target=$1 seconds=$2 work=$3; shift 3
  local build=${OMBREL_FUZZ_BUILD:-$OMBREL_BUILD/fuzz}
  mkdir -p "$work" "$OMBREL_BUILD/findings"
  ASAN_OPTIONS="$ASAN_COMMON:detect_leaks=1" ombrel_fuzz_run "$target" "$OMBREL_BUILD/fuzz-$target.log" \
    "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$OMBREL_BUILD/findings/$target-" "$@" "$work" "fuzz/corpus/$target"
}

# ombrel_fuzz_replay_native <target> <corpus dir>...: every input of the folders once, under the
# sanitized build (a corpus grown by the plain build: what ASan or UBSan would have caught there).
ombrel_fuzz_replay_native() {
  local target=$1; shift
  mkdir -p "$OMBREL_BUILD/findings"
  ASAN_OPTIONS="$ASAN_COMMON:detect_leaks=1" ombrel_fuzz_run "$target (replay under ASan + UBSan)" \
    "$OMBREL_BUILD/fuzz-$target-replay.log" "$OMBREL_BUILD/fuzz/$target" -runs=0 -timeout=30 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$OMBREL_BUILD/findings/$target-replay-" "$@"
}

# ombrel_fuzz_python <target> <PYTHONPATH> <inputs per second without atheris> <seconds> <corpus work dir>
#                    [extra libFuzzer flags]
# Runs fuzz/<target>_fuzzer.py under atheris against the ASan build, corpus fuzz/corpus/<target>.
# CPython leaks at exit by design, so leak detection is off for every interpreter run.
ombrel_fuzz_python() {
  local target=$1 path=$2 rate=$3 seconds=$4 work=$5; shift 5
  mkdir -p "$work" "$OMBREL_BUILD/findings"
  if [ "$HAVE_ATHERIS" = 1 ]; then
    LD_PRELOAD="$FUZZ_RUNTIME" PYTHONMALLOC=malloc ASAN_OPTIONS="$ASAN_COMMON:detect_leaks=0" \
      PYTHONPATH="$path" PYTHONWARNINGS=ignore \
      ombrel_fuzz_run "$target" "$OMBREL_BUILD/fuzz-$target.log" \
      "$VENV_PY" "fuzz/${target}_fuzzer.py" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
      -print_final_stats=1 -artifact_prefix="$OMBREL_BUILD/findings/$target-" "$@" "$work" "fuzz/corpus/$target"
  else
    echo "atheris could not be installed; $target is fuzzed on pseudo-random inputs instead"
    LD_PRELOAD="$ASAN_RUNTIME" PYTHONMALLOC=malloc ASAN_OPTIONS="$ASAN_COMMON:detect_leaks=0" \
      PYTHONPATH="$path" PYTHONWARNINGS=ignore \
      "$VENV_PY" "fuzz/${target}_fuzzer.py" --random $((seconds * rate)) --seed "$(date +%s)"
  fi
}

# ombrel_fuzz_surface <seconds> <corpus work dir> [extra libFuzzer flags]: the module's Python surface.
ombrel_fuzz_surface() {
  ombrel_fuzz_python surface "$ASAN_MODULE_DIR" 2000 "$@"
}

# ombrel_fuzz_pipeline <seconds> <corpus work dir> [extra libFuzzer flags]: ombrel_learn's vocabularies,
# text to ids and model folders (the module and ombrel_learn with its extensions built with ASan).
ombrel_fuzz_pipeline() {
  ombrel_fuzz_python pipeline "$ASAN_PYTHONPATH" 300 "$@"
}

# ombrel_fuzz_data_file <seconds> <corpus work dir> [extra libFuzzer flags]: the command line's reader
# of labelled and plain text files (ombrel_learn.data).
ombrel_fuzz_data_file() {
  ombrel_fuzz_python data_file "$ASAN_PYTHONPATH" 2000 "$@"
}

# ombrel_fuzz_server <seconds> <corpus work dir> [extra libFuzzer flags]: the server's ASGI application
# driven in process with fuzzed methods, paths, headers and JSON bodies.
# One input drives whole requests through the application, bodies that stop part-way included (each
# bounded by the harness's own 5 s), so an input may take seconds under ASan: libFuzzer's timeout is
# wider here than the other targets' (the later flag wins).
ombrel_fuzz_server() {
  ombrel_fuzz_python server "$ASAN_PYTHONPATH" 1000 "$@" -timeout=60
}
