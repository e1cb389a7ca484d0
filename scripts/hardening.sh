#!/usr/bin/env bash
# Sanitizer and fuzzing runs, with clang:
#   build-asan  AddressSanitizer + UndefinedBehaviorSanitizer over the unit and test-host tests
#   build-tsan  ThreadSanitizer over the tests that run workers concurrently (filters and pipeline)
#   build-fuzz  each libFuzzer target for VOLNLM_FUZZ_SECONDS (default 60) from its seed corpus
# Any sanitizer report, test failure, crash, leak or time-out fails the script.
# Usage: scripts/hardening.sh [asan] [tsan] [fuzz]   (no argument: all three)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${VOLNLM_JOBS:-2}
fuzz_seconds=${VOLNLM_FUZZ_SECONDS:-60}
steps=("$@")
[ ${#steps[@]} -eq 0 ] && steps=(asan tsan fuzz)

export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_init_order=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# Only what the sanitizer runs need: no Octave, MATLAB, Python or benchmarks.
configure() {
  local dir=$1 flags=$2 front_ends=$3
  shift 3
  cmake -S "$root" -B "$root/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS="$flags -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" \
    -DCMAKE_MODULE_LINKER_FLAGS="$flags" -DVOLNLM_MEX_NO_UNDEFINED=OFF -DVOLNLM_OCTAVE=OFF \
    -DVOLNLM_MATLAB=OFF "-DVOLNLM_FRONT_ENDS=$front_ends" "$@" >/dev/null
}

asan() {
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer: unit and test-host tests"
  # The pipeline too, for the one-call plug-ins that run it.
  configure build-asan "-fsanitize=address,undefined -fno-sanitize-recover=all" "pipeline"
  cmake --build build-asan -j"$jobs"
  ctest --test-dir build-asan -L 'unit|testhost' --output-on-failure -j"$jobs"
}

tsan() {
  echo "== ThreadSanitizer: workers running concurrently"
  configure build-tsan "-fsanitize=thread" "pipeline"
  cmake --build build-tsan -j"$jobs"
  ctest --test-dir build-tsan \
    -R 'ConcurrentWorkers|RunWorkers|sorvaneFilter\.|blockdenoiseFilter\.|PipelineThreads\.|HeadMask\.' \
    --output-on-failure -j"$jobs"
}

fuzz() {
  echo "== libFuzzer: ${fuzz_seconds} s per target"
  configure build-fuzz "-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
    "pipeline;cli" -DVOLNLM_FUZZ=ON -DVOLNLM_TESTS=OFF
  cmake --build build-fuzz -j"$jobs"
  local work="$root/build-fuzz/fuzz-runs"
  mkdir -p "$work"
  for target in "$root"/build-fuzz/tests/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    local name corpus
    name=$(basename "$target")
    corpus="$root/tests/fuzz/corpus/${name#fuzz_}"
    # New inputs go to a scratch corpus in the build tree; the committed seeds stay as they are.
    rm -rf "${work:?}/$name" && mkdir -p "$work/$name"
    echo "-- $name"
    (cd "$work" && "$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$work/$name-" "$work/$name" "$corpus" 2>"$work/$name.log") || {
      tail -n 60 "$work/$name.log"
      echo "$name failed; its log is $work/$name.log" >&2
      return 1
    }
    grep -E '^stat::number_of_executed_units|^Done' "$work/$name.log" || true
  done
}

for step in "${steps[@]}"; do
  case $step in
    asan | tsan | fuzz) "$step" ;;
    *) echo "unknown step $step (asan, tsan or fuzz)" >&2; exit 2 ;;
  esac
done
echo "hardening: all clean"
