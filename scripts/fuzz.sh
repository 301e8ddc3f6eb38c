#!/usr/bin/env bash
# Builds the libFuzzer targets under fuzz/ with clang and runs each one for
# SECONDS seconds (default 60) on a copy of its seed corpus.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
#   BUILD_DIR  build directory (default: build/fuzz)
#   WORK_DIR   where each target's growing corpus and findings go
#              (default: $BUILD_DIR/fuzz-work); the committed seeds in
#              fuzz/corpus/<target>/ are only read
#   JOBS       parallel build jobs (default: 2)
#
# Prints one summary line per target (executions, executions per second,
# corpus size) and exits non-zero if any target found a crash, leak,
# time-out or overflow; the reproducer is left in WORK_DIR/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=${1:-60}
shift || true
BUILD_DIR=${BUILD_DIR:-build/fuzz}
WORK_DIR=${WORK_DIR:-$BUILD_DIR/fuzz-work}
JOBS=${JOBS:-2}

ALL_TARGETS=(relay_read_fuzzer hid_fetch_fuzzer module_response_fuzzer module_config_fuzzer
  daemon_config_fuzzer firmware_fuzzer)
TARGETS=("$@")
if [ ${#TARGETS[@]} -eq 0 ]; then
  TARGETS=("${ALL_TARGETS[@]}")
fi

CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVEXA_FUZZ=ON -DVEXA_BUILD_TESTS=OFF -DVEXA_WERROR=ON >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS" --target "${TARGETS[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=0
for target in "${TARGETS[@]}"; do
  mkdir -p "$WORK_DIR/$target/corpus" "$WORK_DIR/$target/findings"
  # Absolute paths: some targets change their working directory.
  work=$(realpath "$WORK_DIR/$target")
  seeds=$(realpath "fuzz/corpus/$target")
  log="$work/last-run.log"
  # Every seed and every input found so far; new ones go into the work copy.
  set +e
  "$(realpath "$BUILD_DIR/bin/$target")" "$work/corpus" "$seeds" \
    -max_total_time="$SECONDS_EACH" -timeout=30 -rss_limit_mb=4096 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$work/findings/" >"$log" 2>&1
  status=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  corpus=$(find "$work/corpus" -type f | wc -l)
  if [ "$status" -eq 0 ]; then
    echo "fuzz: $target: ${runs:-?} runs in ${SECONDS_EACH} s, ${rate:-?} exec/s, corpus $corpus: no finding"
  else
    echo "fuzz: $target: FINDING after ${runs:-?} runs (exit $status); see $log and $work/findings/"
    failed=1
  fi
done
exit "$failed"
