#!/usr/bin/env bash
# Builds the third-party libraries of the Windows build with mingw-w64, from
# Debian's own sources, into a cache outside the build tree:
#
#   scripts/windows-deps.sh [x86_64|i686]    prints the prefix on its last line
#
# - mbedTLS, hidapi (its Windows backend) and nanopb's runtime: the source
#   packages of Debian 12, fetched with `apt-get source` through a deb-src
#   list of its own (apt's -o options; the machine's lists stay as they are).
#   apt checks every file against the archive's signed index (the Release
#   file signed by the Debian archive key, which lists the Sources index with
#   the files' SHA-256), and dpkg-source checks the files against the .dsc
#   with strong checksums only. The uploader's own signature on the .dsc is
#   checked against the Debian keyring and reported, but does not decide:
#   gpgv no longer accepts some of them (hidapi 0.13.1-1 is signed with a key
#   bound by SHA-1), and the archive's signature covers the same files.
# - googletest: the sources Debian installs in /usr/src/googletest.
# - nlohmann JSON and the PKCS#11 header: header-only, copied from their
#   Debian packages.
#
# A second run with everything built only checks the stamp. VEXA_WINDOWS_CACHE
# moves the cache (default: ~/.cache/vexa/windows).
set -euo pipefail

ARCH=${1:-x86_64}
case "$ARCH" in
  x86_64 | i686) ;;
  *)
    echo "windows-deps: unknown architecture $ARCH (x86_64 or i686)" >&2
    exit 2
    ;;
esac

ROOT=$(cd "$(dirname "$0")/.." && pwd)
CACHE=${VEXA_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vexa/windows}
SOURCES=(mbedtls=2.28.3-1 hidapi=0.13.1-1 nanopb=0.4.7-2)
PREFIX=$CACHE/$ARCH
# The stamp names what was built, so that a change of versions or of this
# script rebuilds.
STAMP=$PREFIX/.built-$(echo "${SOURCES[*]} $(sha256sum "$0" | cut -c1-16)" | sha256sum | cut -c1-16)
TOOLCHAIN=$ROOT/cmake/toolchains/mingw-w64.cmake

if [ -e "$STAMP" ]; then
  echo "$PREFIX"
  exit 0
fi

# 1. Sources, shared by both architectures.
fetch_sources() {
  local src=$CACHE/src
  mkdir -p "$src"
  local missing=()
  for entry in "${SOURCES[@]}"; do
    local name=${entry%%=*} version=${entry#*=}
    [ -e "$src/$name.ok" ] || missing+=("$name=$version")
  done
  [ ${#missing[@]} -eq 0 ] && return 0

  local apt_dir
  apt_dir=$(mktemp -d)
  trap 'rm -rf "$apt_dir"' RETURN
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
    "http://deb.debian.org/debian bookworm main" >"$apt_dir/sources.list"
  local apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list"
    -o "Dir::Etc::SourceParts=/dev/null" -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::Cache=$apt_dir/cache" -o "APT::Sandbox::User=root")
  apt-get -qq "${apt_options[@]}" update
  (cd "$apt_dir" && apt-get -qq "${apt_options[@]}" source --download-only "${missing[@]}")
  for entry in "${missing[@]}"; do
    local name=${entry%%=*} version=${entry#*=}
    local upstream=${version%-*}
    rm -rf "${src:?}/$name-$upstream"
    dpkg-source --require-strong-checksums -x "$apt_dir/${name}_${version}.dsc" \
      "$src/$name-$upstream" 2>&1 | grep -E 'signature|error' || true
    [ -d "$src/$name-$upstream" ] || { echo "windows-deps: $name did not unpack" >&2; exit 1; }
    touch "$src/$name.ok"
  done
}

# cmake_build <name> <source dir> [cmake options...]
cmake_build() {
  local name=$1 source=$2
  shift 2
  local dir=$CACHE/build-$ARCH/$name
  cmake -S "$source" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DVEXA_WINDOWS_ARCH="$ARCH" \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" -DBUILD_SHARED_LIBS=OFF "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)" >/dev/null
  cmake --install "$dir" >/dev/null
}

fetch_sources
rm -rf "$PREFIX" "$CACHE/build-$ARCH"
mkdir -p "$PREFIX/include"

cmake_build mbedtls "$CACHE/src/mbedtls-2.28.3" -DENABLE_TESTING=OFF -DENABLE_PROGRAMS=OFF \
  -DMBEDTLS_FATAL_WARNINGS=OFF
cmake_build hidapi "$CACHE/src/hidapi-0.13.1" -DHIDAPI_BUILD_HIDTEST=OFF
# hidapi marks its functions for export from the DLL it would be; linked
# into the module they must stay private, so the export directives go.
"$ARCH-w64-mingw32-objcopy" --remove-section .drectve "$PREFIX/lib/libhidapi.a"
cmake_build nanopb "$CACHE/src/nanopb-0.4.7" -Dnanopb_BUILD_GENERATOR=OFF \
  -Dnanopb_BUILD_RUNTIME=ON -Dnanopb_MSVC_STATIC_RUNTIME=OFF
cmake_build googletest /usr/src/googletest -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON

cp -r /usr/include/nlohmann "$PREFIX/include/"
mkdir -p "$PREFIX/share/cmake"
cp -r /usr/share/cmake/nlohmann_json "$PREFIX/share/cmake/"
mkdir -p "$PREFIX/include/p11-kit"
cp /usr/include/p11-kit-1/p11-kit/pkcs11.h "$PREFIX/include/p11-kit/"

touch "$STAMP"
echo "$PREFIX"
