#!/usr/bin/env bash
# Installs what is missing, configures, builds without warnings and runs the
# whole suite with CTest. Exits with the suite's result.
#
#   BUILD_DIR   build directory (default: build/test)
#   CTEST_ARGS  extra arguments for ctest (e.g. "-R hid")
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

BUILD_DIR=${BUILD_DIR:-build/test}
JOBS=$(nproc)

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXA_WERROR=ON
cmake --build "$BUILD_DIR" -j "$JOBS"
# shellcheck disable=SC2086
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" ${CTEST_ARGS:-}
