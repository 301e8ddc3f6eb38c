#!/usr/bin/env bash
# The Vexa system end to end, in one command, with a virtual device:
#
#   1. installs what is missing (scripts/setup.sh) and builds into build/demo;
#   2. starts vexa-sim with two virtual devices;
#   3. makes a throw-away CA with a server certificate, and a client CA with a
#      client certificate for the module, and starts vexa-daemon in the console
#      on 127.0.0.1 for the first device, taking only clients with such a
#      certificate; shows that a client without one is refused;
#   4. through the PKCS#11 module over TLS (a "vexaconfig.json" names the
#      daemon): shows the token, logs in, generates an RSA and an EC key pair
#      on the device, signs a file with each, verifies both signatures with
#      OpenSSL using the exported public keys, and draws random bytes;
#   5. the same directly over (virtual) USB HID, on both slots.
#
# Everything happens in a temporary directory that is removed at the end;
# the user's own configuration is never read or touched. Every process the
# demo starts is stopped on every way out, Ctrl-C included. The exit status
# is 0 only when every step worked, and the last line is then "demo passed".
#
#   BUILD_DIR   build directory (default: build/demo)
#   KEEP_WORK=1 keep the temporary directory (its path is printed)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build/demo}
case $BUILD_DIR in /*) ;; *) BUILD_DIR=$ROOT/$BUILD_DIR ;; esac
BIN=$BUILD_DIR/bin
MODULE=$BIN/libvexa-pkcs11.so
# The virtual token's default user PIN; pkcs11-tool reads it from the
# environment so that it never shows in the process list.
export VEXA_DEMO_PIN=123456
SERIAL=564558410001

WORK=""
PIDS=()

# ---- output --------------------------------------------------------------

step() { printf '\n==> %s\n' "$*"; }
info() { printf '    %s\n' "$*"; }
fail() {
  printf '\nFAILED: %s\n' "$*" >&2
  exit 1
}

# ---- processes -----------------------------------------------------------

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  local pid
  for pid in "${PIDS[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${PIDS[@]}"; do
    # A process that does not end within 5 s is killed.
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if [ -n "$WORK" ]; then
    if [ "${KEEP_WORK:-0}" = 1 ]; then
      echo "work directory kept: $WORK"
    else
      rm -rf "$WORK"
    fi
  fi
  if [ "$status" -ne 0 ]; then
    echo "demo FAILED (status $status)" >&2
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits until a file contains a text; fails after 30 s or when the process
# that writes it has ended.
wait_for_text() {
  local file=$1 text=$2 pid=$3
  for _ in $(seq 300); do
    grep -qF "$text" "$file" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$file" >&2 || true
  fail "no \"$text\" from process $pid"
}

# A TCP port on 127.0.0.1 that is free right now.
free_port() {
  /usr/bin/python3 -c 'import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits until something listens on 127.0.0.1:port (binding it fails), without
# connecting to the listener.
wait_for_listener() {
  local port=$1 pid=$2
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || break
    if ! /usr/bin/python3 -c 'import socket, sys
s = socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1])))' "$port" 2>/dev/null; then
      return 0
    fi
    sleep 0.1
  done
  cat "$WORK/daemon.log" >&2 || true
  fail "vexa-daemon does not listen on port $port"
}

# ---- PKCS#11 steps ---------------------------------------------------------

# p11 ARGS...: pkcs11-tool with the module, in the current client directory.
p11() {
  pkcs11-tool --module "$MODULE" "$@"
}

# Runs pkcs11-tool, shows its output indented, fails when it fails.
p11_show() {
  local out
  if ! out=$(p11 "$@" 2>&1); then
    printf '%s\n' "$out" | sed 's/^/    /' >&2
    fail "pkcs11-tool $*"
  fi
  printf '%s\n' "$out" | sed '/^Using slot/d; s/^/    /'
}

# token_steps NAME SLOT_INDEX ID_PREFIX: the main job on one token.
token_steps() {
  local name=$1 slot=$2 id=$3
  local dir=$PWD
  local on=(--slot-index "$slot")
  local login=(--login --pin env:VEXA_DEMO_PIN)

  step "[$name] log in and list the objects on the token"
  p11_show "${on[@]}" "${login[@]}" --list-objects >/dev/null
  info "logged in"

  step "[$name] generate an RSA 2048 key pair and an EC P-256 key pair on the device"
  p11_show "${on[@]}" "${login[@]}" --keypairgen --key-type rsa:2048 --id "${id}01" \
    --label "demo-rsa-$name"
  p11_show "${on[@]}" "${login[@]}" --keypairgen --key-type EC:prime256v1 --id "${id}02" \
    --label "demo-ec-$name"

  step "[$name] sign a file with each key"
  printf 'Signed by a Vexa token (%s) on %s\n' "$name" "$(date -u +%FT%TZ)" >"$dir/document.txt"
  p11_show "${on[@]}" "${login[@]}" --sign --id "${id}01" --mechanism SHA256-RSA-PKCS \
    --input-file "$dir/document.txt" --output-file "$dir/rsa.sig" >/dev/null
  info "RSA (SHA256-RSA-PKCS): $(stat -c %s "$dir/rsa.sig") bytes"
  # Raw ECDSA over a SHA-256 hash, as most clients call it; the signature
  # in the DER form OpenSSL reads.
  openssl dgst -sha256 -binary "$dir/document.txt" >"$dir/document.sha256"
  p11_show "${on[@]}" "${login[@]}" --sign --id "${id}02" --mechanism ECDSA \
    --signature-format openssl --input-file "$dir/document.sha256" \
    --output-file "$dir/ec.sig" >/dev/null
  info "ECDSA over SHA-256: $(stat -c %s "$dir/ec.sig") bytes"

  step "[$name] export the public keys (GnuTLS p11tool) and verify both signatures with OpenSSL"
  local serial kind keyid
  serial=$(p11 --list-token-slots 2>/dev/null | sed -n 's/^ *serial num *: *//p' |
    sed -n "$((slot + 1))p")
  for kind in rsa ec; do
    keyid=${id}01
    [ "$kind" = ec ] && keyid=${id}02
    # A PKCS#11 URI names the key: the token by its serial number, the key by
    # its id (each byte %-encoded) and type.
    local uri="pkcs11:serial=$serial;id=%${keyid:0:2}%${keyid:2:2};type=public"
    GNUTLS_PIN=$VEXA_DEMO_PIN p11tool --provider "$MODULE" --login --export-pubkey \
      --outfile "$dir/$kind.pub.pem" "$uri" >/dev/null 2>"$dir/p11tool.err" ||
      fail "p11tool --export-pubkey $uri: $(cat "$dir/p11tool.err")"
    if ! result=$(openssl dgst -sha256 -verify "$dir/$kind.pub.pem" \
      -signature "$dir/$kind.sig" "$dir/document.txt" 2>&1); then
      fail "OpenSSL does not verify the $kind signature: $result"
    fi
    info "$kind key $uri"
    info "    $result"
  done

  step "[$name] draw random bytes from the device"
  p11 "${on[@]}" --generate-random 32 --output-file "$dir/random.bin" >/dev/null 2>&1 ||
    fail "random bytes"
  [ "$(stat -c %s "$dir/random.bin")" -eq 32 ] || fail "32 random bytes expected"
  info "$(od -An -tx1 -v "$dir/random.bin" | tr -d ' \n')"
}

# ---- the demo ---------------------------------------------------------------

step "Install what is missing and build into $BUILD_DIR"
"$ROOT/scripts/setup.sh"
cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVEXA_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" --target vexa-pkcs11 vexa-daemon vexa-sim

WORK=$(mktemp -d /tmp/vexa-demo.XXXXXX)
mkdir "$WORK/tls" "$WORK/hid" "$WORK/daemon"

step "Start vexa-sim with two virtual devices"
"$BIN/vexa-sim" --socket "$WORK/sim.sock" --devices 2 --settle-ms 100 \
  >"$WORK/sim.log" 2>&1 &
PIDS+=($!)
wait_for_text "$WORK/sim.log" "vexa-sim: ready" "${PIDS[-1]}"
sed 's/^/    /' "$WORK/sim.log"

step "Make throw-away CAs, a server certificate for localhost and a client certificate"
(
  cd "$WORK/daemon"
  umask 077
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 \
    -subj "/CN=Vexa demo CA" -keyout ca.key -out ca.pem 2>/dev/null
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=localhost" \
    -keyout key.pem -out server.csr 2>/dev/null
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >server.ext
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 1 \
    -sha256 -extfile server.ext -out server.pem 2>/dev/null
  # The daemon takes only clients whose certificate comes from this CA.
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 \
    -subj "/CN=Vexa demo client CA" -keyout clients-ca.key -out clients-ca.pem 2>/dev/null
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=demo user" \
    -keyout client.key -out client.csr 2>/dev/null
  printf 'extendedKeyUsage=clientAuth\n' >client.ext
  openssl x509 -req -in client.csr -CA clients-ca.pem -CAkey clients-ca.key \
    -CAcreateserial -days 1 -sha256 -extfile client.ext -out client.pem 2>/dev/null
) || fail "openssl could not make the certificates"
info "CA: $WORK/daemon/ca.pem, server: $WORK/daemon/server.pem"
info "client CA: $WORK/daemon/clients-ca.pem, client: $WORK/daemon/client.pem"

step "Start vexa-daemon on 127.0.0.1 for device $SERIAL"
PORT=$(free_port)
(
  cd "$WORK/daemon"
  # Relative paths would be taken from the daemon's configuration directory.
  exec env -u VEXA_KEY_PASS VEXA_VIRTUAL_DEVICE="$WORK/sim.sock" "$BIN/vexa-daemon" -d "$SERIAL" -i 127.0.0.1 -p "$PORT" -ca "$PWD/ca.pem" \
    -crt "$PWD/server.pem" -key "$PWD/key.pem" -clientca "$PWD/clients-ca.pem"
) >"$WORK/daemon.log" 2>&1 &
PIDS+=($!)
wait_for_listener "$PORT" "${PIDS[-1]}"
grep -v "config file" "$WORK/daemon.log" | sed 's/^/    /'

step "A client without a certificate is refused before it reaches the device"
openssl s_client -brief -connect "127.0.0.1:$PORT" -CAfile "$WORK/daemon/ca.pem" \
  </dev/null >/dev/null 2>&1 || true
wait_for_text "$WORK/daemon.log" "ssl handshake returned" "${PIDS[-1]}"
info "refused: $(grep -m1 'Last error was' "$WORK/daemon.log" | sed 's/^ERROR: Last error was: //')"

step "Through the module over TLS: vexaconfig.json names the daemon"
cd "$WORK/tls"
cat >vexaconfig.json <<EOF
{
  "transport": {"address": "localhost", "port": $PORT, "cacertbundle": "$WORK/daemon/ca.pem",
                "clientcert": "$WORK/daemon/client.pem", "clientkey": "$WORK/daemon/client.key"},
  "logging": {"enabled": true, "loglevel": 40, "logfile": "$WORK/module.log"}
}
EOF
sed 's/^/    /' vexaconfig.json
# The module reads vexaconfig.json from the working directory first; HOME
# points here too so that nothing of the user's is read.
export HOME=$WORK/tls
unset VEXA_VIRTUAL_DEVICE

step "[tls] the token behind the daemon"
slots=$(p11 --list-slots 2>&1) || fail "pkcs11-tool --list-slots: $slots"
printf '%s\n' "$slots" | sed 's/^/    /'
[ "$(grep -c 'token label *: Vexa Token' <<<"$slots")" -eq 1 ] || fail "one token expected"
token_steps tls 0 a0

step "Directly over USB HID (virtual): VEXA_VIRTUAL_DEVICE names the simulator"
cd "$WORK/hid"
export HOME=$WORK/hid
export VEXA_VIRTUAL_DEVICE=$WORK/sim.sock
slots=$(p11 --list-slots 2>&1) || fail "pkcs11-tool --list-slots: $slots"
printf '%s\n' "$slots" | sed 's/^/    /'
[ "$(grep -c 'token label *: Vexa Token' <<<"$slots")" -eq 2 ] || fail "two tokens expected"
for slot in 0 1; do
  token_steps "hid-slot$slot" "$slot" "b$slot"
done

step "The keys made through the daemon are on the first device, seen over HID too"
objects=$(p11 --slot-index 0 --list-objects --type pubkey 2>&1) || fail "list objects: $objects"
grep -E 'label' <<<"$objects" | sed 's/^/    /'
grep -q 'demo-rsa-tls' <<<"$objects" || fail "demo-rsa-tls not found over HID"

printf '\ndemo passed\n'
