#!/usr/bin/env bash
# Installs every Debian 12 package the project needs: the single list of its
# dependencies. Idempotent and quick when everything is already present.
set -euo pipefail

PACKAGES=(
  # build
  build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev
  # libraries
  libmbedtls-dev nlohmann-json3-dev nanopb libnanopb-dev libhidapi-dev
  libp11-kit-dev libsystemd-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # an independent implementation that checks the device's cryptography
  libssl-dev
  # real clients and tools used by the end-to-end tests and the demo
  openssl opensc gnutls-bin libengine-pkcs11-openssl python3-pykcs11 p11-kit
  openssh-client libnss3-tools p11-kit-modules
  # peers and tools of the benchmark run (scripts/bench.sh)
  softhsm2 socat linux-perf iproute2 python3
  # the Windows build (mingw-w64, posix threads) and its tests under Wine;
  # dpkg-dev and the Debian keyring fetch and check the Windows libraries'
  # sources (scripts/windows-deps.sh); zip packs the binaries
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64
  dpkg-dev debian-keyring zip
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#PACKAGES[@]} packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
