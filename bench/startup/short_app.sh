#!/usr/bin/env bash
# Set-up cost of a short-lived application: `pkcs11-tool --generate-random 32`
# run again and again, directly over the virtual HID link and through
# vexa-daemon over TLS on loopback, with a device that needs no settling
# and with the real device's 500 ms settle after opening. Prints the median
# and the ratio daemon/HID for each. Not a test: nothing is asserted.
#
#   bench/startup/short_app.sh [BIN_DIR] [RUNS]
#
# BIN_DIR holds vexa-sim, vexa-daemon and libvexa-pkcs11.so (default
# build/test/bin); RUNS per case (default 20). Everything lives in a
# temporary directory; every process started here is stopped on the way out.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BIN=$(cd "${1:-$ROOT/build/test/bin}" && pwd)
RUNS=${2:-20}
WORK=$(mktemp -d /tmp/vexa-startup.XXXXXX)
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The median of RUNS wall times (ms) of one short application.
median_ms() {
  local times=() start end
  for _ in $(seq "$RUNS"); do
    start=$(date +%s%N)
    pkcs11-tool --module "$BIN/libvexa-pkcs11.so" --generate-random 32 >/dev/null 2>&1 ||
      { echo "pkcs11-tool failed" >&2; exit 1; }
    end=$(date +%s%N)
    times+=($(((end - start) / 1000)))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%.1f", a[int((NR+1)/2)]/1000}'
}

cd "$WORK"
# The module keeps TLS sessions for the user's next process in its run-time
# directory; here that is a directory of the run.
export XDG_RUNTIME_DIR=$WORK/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=ca \
  -keyout ca.key -out ca.pem 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=localhost \
  -keyout key.pem -out server.csr 2>/dev/null
printf 'subjectAltName=DNS:localhost\n' >server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 1 -sha256 \
  -extfile server.ext -out server.pem 2>/dev/null
chmod 600 key.pem
mkdir hid tls

printf '%-12s %10s %10s %8s\n' "settle" "HID ms" "daemon ms" "ratio"
for settle in 0 500; do
  "$BIN/vexa-sim" --socket "$WORK/sim$settle.sock" --settle-ms "$settle" >"$WORK/sim$settle.log" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 100); do grep -q "vexa-sim: ready" "$WORK/sim$settle.log" && break; sleep 0.05; done
  port=$(free_port)
  VEXA_VIRTUAL_DEVICE="$WORK/sim$settle.sock" "$BIN/vexa-daemon" -d 564558410001 -i 127.0.0.1 \
    -p "$port" -ca "$WORK/ca.pem" -crt "$WORK/server.pem" -key "$WORK/key.pem" \
    >"$WORK/daemon$settle.log" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 100); do grep -q "Binding on" "$WORK/daemon$settle.log" && break; sleep 0.05; done
  sleep 0.2
  printf '{"transport": {"address": "localhost", "port": %s, "cacertbundle": "%s"}}\n' \
    "$port" "$WORK/ca.pem" >tls/vexaconfig.json
  hid=$(cd hid && HOME=$WORK/hid VEXA_VIRTUAL_DEVICE="$WORK/sim$settle.sock" median_ms)
  tls=$(cd tls && HOME=$WORK/tls env -u VEXA_VIRTUAL_DEVICE bash -c "$(declare -f median_ms); BIN='$BIN' RUNS=$RUNS median_ms")
  printf '%-12s %10s %10s %8s\n' "${settle} ms" "$hid" "$tls" "$(awk -v a="$tls" -v b="$hid" 'BEGIN {printf "%.2f", a/b}')"
done
