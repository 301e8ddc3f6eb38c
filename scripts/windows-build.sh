#!/usr/bin/env bash
# Builds vexa-daemon.exe and vexa-pkcs11.dll for Windows with mingw-w64, for
# x86_64 and i686, each into its own build directory:
#
#   scripts/windows-build.sh            build both  (build/test-windows-x86_64, -i686)
#   scripts/windows-build.sh --test     build both, then test under Wine
#   scripts/windows-build.sh --package  build both, then a zip of each
#
# The third-party libraries come from scripts/windows-deps.sh (Debian's
# sources, cached). Tests: the unit tests built for Windows run under wine64
# (x86_64 only: Debian's wine64 runs no 32-bit programs), then the Windows
# programs meet this machine's vexa-sim, vexa-daemon and module
# (tests/integration/windows, built in $BUILD_DIR-wine). Wine runs headless
# in a prefix of its own, $BUILD_DIR-windows-x86_64/wineprefix, and its
# server is ended on every way out.
#
#   BUILD_DIR   prefix of the build directories (default: build/test)
set -euo pipefail
cd "$(dirname "$0")/.."

MODE=${1:-}
BUILD_DIR=${BUILD_DIR:-build/test}
JOBS=$(nproc)
ROOT=$PWD
WINE_RUN=$ROOT/scripts/wine-run.sh

scripts/setup.sh >/dev/null

build_arch() {
  local arch=$1 deps dir=$BUILD_DIR-windows-$arch
  deps=$(scripts/windows-deps.sh "$arch" | tail -n 1)
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXA_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchains/mingw-w64.cmake" -DVEXA_WINDOWS_ARCH="$arch" \
    -DVEXA_WINDOWS_DEPS="$deps" -DCMAKE_CROSSCOMPILING_EMULATOR="$WINE_RUN" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

for arch in x86_64 i686; do
  build_arch "$arch"
done

if [ "$MODE" = "--package" ]; then
  for arch in x86_64 i686; do
    (cd "$BUILD_DIR-windows-$arch" && cpack -G ZIP >/dev/null && ls "$PWD"/vexa-*.zip)
  done
  exit 0
fi
[ "$MODE" = "--test" ] || exit 0

WINEPREFIX=$ROOT/$BUILD_DIR-windows-x86_64/wineprefix
export WINEPREFIX WINEDEBUG=-all
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
# One Wine server for the whole run (a server that ends would boot the
# prefix again for the next program, and start an installed service with
# it); every Windows process of the prefix, and the server, end with the
# script.
trap '"$WINESERVER" -k 2>/dev/null || true' EXIT
mkdir -p "$WINEPREFIX"
"$WINESERVER" -p 2>/dev/null || true  # or one runs already
# Boot the prefix (about 20 s the first time) with nothing attached: the
# system processes Wine starts then (services.exe and the like) live on and
# would hold a test's output open, and ctest would wait for it forever.
# (A program of its own, not "wineboot --init", which sets the prefix up
# again and leaves its service manager unable to start a new service.)
"$WINE_RUN" cmd /c exit </dev/null >/dev/null 2>&1

status=0
ctest --test-dir "$BUILD_DIR-windows-x86_64" --output-on-failure -j "$JOBS" ${CTEST_ARGS:-} ||
  status=1

HOST_DIR=$BUILD_DIR-wine
cmake -S . -B "$HOST_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXA_WERROR=ON \
  -DVEXA_WINDOWS_BIN_DIR="$ROOT/$BUILD_DIR-windows-x86_64/bin" -DVEXA_WINEPREFIX="$WINEPREFIX" \
  >/dev/null
cmake --build "$HOST_DIR" -j "$JOBS" --target windows_wine_test vexa-sim vexa-daemon vexa-pkcs11
# One at a time: they share the prefix, its service manager and its server.
# shellcheck disable=SC2086
ctest --test-dir "$HOST_DIR" --output-on-failure -L windows ${CTEST_ARGS:-} || status=1
exit $status
