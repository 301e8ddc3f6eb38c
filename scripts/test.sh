#!/usr/bin/env bash
# Installs what is missing, then builds without warnings and runs the whole
# suite with CTest in up to three passes, each in its own build directory:
#
#   normal  the suite as shipped                       build/test
#   asan    the suite under AddressSanitizer and       build/test-asan
#           UndefinedBehaviorSanitizer (VEXA_SANITIZE)
#   tsan    the tests labelled "threads" under         build/test-tsan
#           ThreadSanitizer (VEXA_TSAN)
#   windows the Windows build (mingw-w64, x86_64 and   build/test-windows-*,
#           i686) and its tests under Wine: the unit   build/test-wine
#           tests built for Windows, and the Windows
#           programs against this machine's vexa-sim,
#           vexa-daemon and module (scripts/windows-build.sh)
#
# Every pass runs even when an earlier one failed; the exit status is 0 only
# when all of them passed. Each pass prints its time.
#
#   PASSES      the passes to run (default: "normal asan tsan")
#   BUILD_DIR   build directory of the normal pass (default: build/test);
#               the others add -asan and -tsan
#   CTEST_ARGS  extra arguments for every ctest run (e.g. "-R hid")
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

PASSES=${PASSES:-normal asan tsan windows}
BUILD_DIR=${BUILD_DIR:-build/test}
JOBS=$(nproc)

# A leak, a data race or undefined behaviour fails the test that caused it.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

# Sanitizer passes: less optimisation and line tables only, which builds
# much faster and still gives every report its file and line.
SANITIZER_FLAGS="-O1 -g1 -DNDEBUG"

# run_pass <name> <build dir> <build target> "<ctest options>" [cmake options...]
run_pass() {
  local name=$1 dir=$2 target=$3 selection=$4
  shift 4
  local start=$SECONDS status=0
  echo "=== test pass: $name ($dir) ==="
  if ! cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXA_WERROR=ON \
      "$@" >/dev/null; then
    status=1
  elif ! cmake --build "$dir" -j "$JOBS" --target "$target"; then
    status=1
  else
    # shellcheck disable=SC2086
    ctest --test-dir "$dir" --output-on-failure -j "$JOBS" $selection ${CTEST_ARGS:-} || status=1
  fi
  local verdict=passed
  [ "$status" -eq 0 ] || verdict=FAILED
  echo "=== test pass: $name $verdict in $((SECONDS - start)) s ==="
  return "$status"
}

SANITIZER_BUILD=(-DCMAKE_C_FLAGS_RELWITHDEBINFO="$SANITIZER_FLAGS"
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$SANITIZER_FLAGS")

failed=()
for pass in $PASSES; do
  case "$pass" in
    normal) run_pass normal "$BUILD_DIR" all "" || failed+=(normal) ;;
    asan)
      run_pass asan "$BUILD_DIR-asan" all "" -DVEXA_SANITIZE=ON "${SANITIZER_BUILD[@]}" ||
        failed+=(asan)
      ;;
    windows)
      start=$SECONDS
      echo "=== test pass: windows ($BUILD_DIR-windows-*, $BUILD_DIR-wine) ==="
      if BUILD_DIR=$BUILD_DIR scripts/windows-build.sh --test; then
        echo "=== test pass: windows passed in $((SECONDS - start)) s ==="
      else
        echo "=== test pass: windows FAILED in $((SECONDS - start)) s ==="
        failed+=(windows)
      fi
      ;;
    tsan)
      # Only what the threaded tests need: the threads_tests target.
      run_pass tsan "$BUILD_DIR-tsan" threads_tests "-L threads" -DVEXA_TSAN=ON \
        "${SANITIZER_BUILD[@]}" || failed+=(tsan)
      ;;
    *)
      echo "unknown test pass: $pass" >&2
      exit 2
      ;;
  esac
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "test passes failed: ${failed[*]}"
  exit 1
fi
echo "all test passes passed: $PASSES"
