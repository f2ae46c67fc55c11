#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang under AddressSanitizer and
# UBSan and runs each for FUZZ_SECONDS (default 30), starting from the seed
# corpus in fuzz/corpus. Fails on the first finding; the input that caused it
# is left in build/fuzz/findings. New coverage goes to build/fuzz/corpus, never
# into the repository. FUZZ_TARGETS picks some of the targets (e.g. "actuator_gate").
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh clang-19 libclang-rt-19-dev  # libFuzzer and the sanitizer runtimes
export PATH="$PWD/.venv/bin:$PATH"

seconds=${FUZZ_SECONDS:-30}
targets=(${FUZZ_TARGETS:-projection envelope normal_equations message_hasher actuator_gate command_gate number_text})
build=build/fuzz  # the preset's binary folder
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc 2>/dev/null || echo 2)"

mkdir -p "$build/findings"
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  echo "== fuzz_$target for ${seconds}s"
  # -error_exitcode: a property failure or sanitizer report fails the run.
  if ! "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 -error_exitcode=77 \
      -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$build/findings/$target-" \
      "$corpus" "fuzz/corpus/$target" >"$build/fuzz_$target.log" 2>&1; then
    tail -n 60 "$build/fuzz_$target.log"
    echo "fuzz_$target: FINDING (log: $build/fuzz_$target.log, input in $build/findings)" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/fuzz_$target.log")
  echo "fuzz_$target: ${runs:-?} executions, no finding"
done
