#!/usr/bin/env bash
# One benchmark run on this machine, every stack side by side:
#
#   ours, HID      libvexa-pkcs11.so over the virtual HID link to vexa-sim
#   ours, TLS      libvexa-pkcs11.so through vexa-daemon over TLS (loopback)
#   SoftHSM2       SoftHSM2 loaded directly
#   p11-kit unix   SoftHSM2 forwarded by p11-kit server + p11-kit-client.so
#   p11-kit TLS    the same through a socat TLS 1.2 tunnel on loopback
#
# plus the floors (100-byte ping-pong over a Unix socket and over mbedTLS
# TLS 1.2), the virtual HID link alone, the daemon's relay against a bare
# TLS echo, the daemon's resident memory and the module's added memory, and
# the micro-benchmarks of our code. Everything lives in a temporary
# directory; every process started here is stopped on the way out.
#
#   scripts/bench.sh [--iterations N] [--quick] [--no-setup] [--one-cpu]
#
# --quick: fewer samples (a smoke run); --no-setup: skip scripts/setup.sh;
# --one-cpu: every process of the run on CPU 0. On a small virtual machine a
# wake-up that crosses CPUs can cost tens of microseconds, and where the
# scheduler puts each process decides it; on one CPU every hand-over is
# local, which shows the cost of the software rather than of its placement.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build/bench"
BIN="$BUILD/bin"
ITERATIONS=2000
PING_ITERATIONS=20000
SETUP=1
ONE_CPU=0
while [ $# -gt 0 ]; do
  case "$1" in
    --iterations) ITERATIONS="$2"; PING_ITERATIONS=$((10 * $2)); shift 2 ;;
    --quick) ITERATIONS=200; PING_ITERATIONS=2000; shift ;;
    --no-setup) SETUP=0; shift ;;
    --one-cpu) ONE_CPU=1; shift ;;
    *) echo "usage: scripts/bench.sh [--iterations N] [--quick] [--no-setup] [--one-cpu]" >&2; exit 2 ;;
  esac
done

# ---- packages and build ----
if [ "$SETUP" = 1 ]; then
  "$ROOT/scripts/setup.sh"
fi
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DVEXA_BUILD_BENCH=ON -DVEXA_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target vexa-microbench vexa-p11bench vexa-pingpong vexa-hidping \
  vexa-sim vexa-daemon vexa-pkcs11 >/dev/null

# Every process started from here on inherits the affinity.
PLACEMENT="processes placed by the scheduler"
if [ "$ONE_CPU" = 1 ]; then
  taskset -p -c 0 $$ >/dev/null
  PLACEMENT="every process on CPU 0"
fi

SOFTHSM_MODULE=/usr/lib/softhsm/libsofthsm2.so
P11KIT_CLIENT="$(dpkg -L p11-kit-modules | grep '/p11-kit-client.so$' | head -n 1)"
PIN=123456

# ---- temporary directory and clean-up ----
WORK="$(mktemp -d /tmp/vexa-bench.XXXXXX)"
PIDS=()
ADDED_PROBES=()
# perf user probes this run added (and only those) are removed again.
remove_probes() {
  local probe
  for probe in "${ADDED_PROBES[@]}"; do
    perf probe -q -d "$probe" 2>/dev/null || true
  done
}
cleanup() {
  remove_probes
  local pid
  for pid in "${PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${PIDS[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts a process in the background, its output in $WORK/<name>.log.
start() {
  local name="$1"
  shift
  "$@" >"$WORK/$name.log" 2>&1 &
  PIDS+=("$!")
  LAST_PID=$!
}

# Waits until the log of a process shows a line, or fails after 30 s.
wait_for_line() {
  local name="$1" text="$2"
  for _ in $(seq 1 300); do
    if grep -q -- "$text" "$WORK/$name.log" 2>/dev/null; then
      return 0
    fi
    sleep 0.1
  done
  echo "bench: $name did not start:" >&2
  cat "$WORK/$name.log" >&2
  exit 1
}

wait_for_port() {
  local port="$1"
  for _ in $(seq 1 300); do
    if ss -ltnH "sport = :$port" | grep -q .; then
      return 0
    fi
    sleep 0.1
  done
  echo "bench: nothing listens on port $port" >&2
  exit 1
}

wait_for_socket() {
  for _ in $(seq 1 300); do
    [ -S "$1" ] && return 0
    sleep 0.1
  done
  echo "bench: no socket $1" >&2
  exit 1
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

rss_kib() {
  awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"
}

# ---- certificates (P-256, a throw-away CA) ----
PKI="$WORK/pki"
mkdir -p "$PKI"
(
  cd "$PKI"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key \
    -out ca.pem -days 2 -sha256 -subj '/CN=Vexa Bench CA' \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
  openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out server.key
  openssl req -new -key server.key -subj /CN=localhost -out server.csr
  printf 'subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\n' >server.ext
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -sha256 \
    -extfile server.ext -out server.pem
) >/dev/null 2>&1

# ---- vexa-sim and vexa-daemon ----
export VEXA_VIRTUAL_DEVICE="$WORK/sim.sock"
start sim "$BIN/vexa-sim" --socket "$VEXA_VIRTUAL_DEVICE" --settle-ms 0
wait_for_line sim "vexa-sim: ready"

DAEMON_PORT="$(free_port)"
mkdir -p "$WORK/daemon"
(cd "$WORK/daemon" && exec "$BIN/vexa-daemon" -d 564558410001 -p "$DAEMON_PORT" -i localhost \
  -ca "$PKI/ca.pem" -crt "$PKI/server.pem" -key "$PKI/server.key") >"$WORK/daemon.log" 2>&1 &
PIDS+=("$!")
DAEMON_PID=$!
wait_for_port "$DAEMON_PORT"
sleep 1
DAEMON_RSS_IDLE="$(rss_kib "$DAEMON_PID")"

# The module finds vexaconfig.json in its working directory; HOME points
# into the run so that no ~/.vexa/vexaconfig.json of the user interferes.
mkdir -p "$WORK/home" "$WORK/hid" "$WORK/tls"
cat >"$WORK/tls/vexaconfig.json" <<EOF
{"transport": {"address": "localhost", "port": $DAEMON_PORT, "cacertbundle": "$PKI/ca.pem"}}
EOF

# ---- SoftHSM2, p11-kit server, socat tunnel ----
export SOFTHSM2_CONF="$WORK/softhsm2.conf"
mkdir -p "$WORK/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
  "$WORK/tokens" >"$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label bench --so-pin 12345678 --pin "$PIN" >/dev/null

P11KIT_SOCKET="$WORK/p11kit.sock"
start p11kit p11-kit server --foreground --provider "$SOFTHSM_MODULE" --name "$P11KIT_SOCKET" \
  "pkcs11:token=bench"
wait_for_socket "$P11KIT_SOCKET"

TUNNEL_PORT="$(free_port)"
TLS12="openssl-min-proto-version=TLS1.2,openssl-max-proto-version=TLS1.2"
start tunnel-server socat \
  "OPENSSL-LISTEN:$TUNNEL_PORT,bind=127.0.0.1,reuseaddr,fork,nodelay,cert=$PKI/server.pem,key=$PKI/server.key,verify=0,$TLS12" \
  "UNIX-CONNECT:$P11KIT_SOCKET"
wait_for_port "$TUNNEL_PORT"
TUNNEL_SOCKET="$WORK/tunnel.sock"
start tunnel-client socat "UNIX-LISTEN:$TUNNEL_SOCKET,fork" \
  "OPENSSL:127.0.0.1:$TUNNEL_PORT,nodelay,cafile=$PKI/ca.pem,commonname=localhost,$TLS12"
wait_for_socket "$TUNNEL_SOCKET"

# ---- the floors and the bare echo ----
PING_SOCKET="$WORK/ping.sock"
start unix-echo "$BIN/vexa-pingpong" unix-server "$PING_SOCKET"
wait_for_line unix-echo ready
ECHO_PORT="$(free_port)"
start tls-echo "$BIN/vexa-pingpong" tls-server "$ECHO_PORT" "$PKI/server.pem" "$PKI/server.key"
wait_for_line tls-echo ready
FRAMED_PORT="$(free_port)"
start framed-echo "$BIN/vexa-pingpong" tls-server "$FRAMED_PORT" "$PKI/server.pem" \
  "$PKI/server.key" --framed
wait_for_line framed-echo ready

echo "bench: measuring (this takes a few minutes)" >&2

# ---- the PKCS#11 stacks ----
p11bench() {
  local dir="$1" module="$2"
  shift 2
  (cd "$dir" && HOME="$WORK/home" "$BIN/vexa-p11bench" --module "$module" --pin "$PIN" \
    --iterations "$ITERATIONS" --tsv "$@")
}
p11bench "$WORK/hid" "$BIN/libvexa-pkcs11.so" >"$WORK/r-hid.tsv"
p11bench "$WORK/tls" "$BIN/libvexa-pkcs11.so" >"$WORK/r-tls.tsv"
p11bench "$WORK/home" "$SOFTHSM_MODULE" >"$WORK/r-softhsm.tsv"
P11_KIT_SERVER_ADDRESS="unix:path=$P11KIT_SOCKET" \
  p11bench "$WORK/home" "$P11KIT_CLIENT" >"$WORK/r-p11kit.tsv"
P11_KIT_SERVER_ADDRESS="unix:path=$TUNNEL_SOCKET" \
  p11bench "$WORK/home" "$P11KIT_CLIENT" >"$WORK/r-p11kit-tls.tsv"

# ---- the goals: C_GetSessionInfo, floors, link and relay, interleaved ----
# Each comparison is measured in ROUNDS rounds that take turns, so that a
# burst of load on the machine hits ours and the peers alike; the figure is
# the median of the rounds' medians.
ROUNDS=3
GOAL_ITERATIONS=$((ITERATIONS * 2))
session_info() {
  p11bench "$@" --only C_GetSessionInfo --iterations "$GOAL_ITERATIONS" |
    awk -F'\t' '$1 == "C_GetSessionInfo" { print ($2 == "ok") ? $4 : "n/a" }'
}
for round in $(seq 1 "$ROUNDS"); do
  session_info "$WORK/hid" "$BIN/libvexa-pkcs11.so" >>"$WORK/g-hid"
  P11_KIT_SERVER_ADDRESS="unix:path=$P11KIT_SOCKET" \
    session_info "$WORK/home" "$P11KIT_CLIENT" >>"$WORK/g-p11kit"
  session_info "$WORK/tls" "$BIN/libvexa-pkcs11.so" >>"$WORK/g-tls"
  P11_KIT_SERVER_ADDRESS="unix:path=$TUNNEL_SOCKET" \
    session_info "$WORK/home" "$P11KIT_CLIENT" >>"$WORK/g-p11kit-tls"
  "$BIN/vexa-pingpong" unix-client "$PING_SOCKET" --size 100 --iterations "$PING_ITERATIONS" |
    cut -f1 >>"$WORK/g-unix"
  "$BIN/vexa-pingpong" tls-client "$ECHO_PORT" --ca "$PKI/ca.pem" --size 100 \
    --iterations "$PING_ITERATIONS" | cut -f1 >>"$WORK/g-floor-tls"
  "$BIN/vexa-hidping" --iterations "$PING_ITERATIONS" | cut -f1 >>"$WORK/g-link"
  "$BIN/vexa-pingpong" tls-client "$FRAMED_PORT" --ca "$PKI/ca.pem" --framed --size 100 \
    --iterations "$PING_ITERATIONS" | cut -f1 >>"$WORK/g-echo"
  "$BIN/vexa-pingpong" tls-client "$DAEMON_PORT" --ca "$PKI/ca.pem" --framed --size 100 \
    --iterations "$PING_ITERATIONS" | cut -f1 >>"$WORK/g-relay"
  "$BIN/vexa-pingpong" tls-client "$DAEMON_PORT" --ca "$PKI/ca.pem" --device-request \
    --iterations "$PING_ITERATIONS" | cut -f1 >>"$WORK/g-relay-device"
done
sleep 1
DAEMON_RSS_AFTER="$(rss_kib "$DAEMON_PID")"

# ---- allocations of the daemon per relayed request ----
# Counts the daemon's malloc/calloc/realloc calls with perf's user probes
# while one client sends relayed requests: the client holds after its
# handshake and warm-up until the counter is attached, and again before it
# closes until the counter has stopped, so only the requests are counted
# (a handshake's count varies from one to the next with its random
# blinding). Needs root and uprobes; otherwise reported as unavailable.
ALLOCATIONS="unavailable (perf user probes need root and uprobes)"
ALLOCATION_REQUESTS=20000
LIBC="$(ldd "$BIN/vexa-daemon" | awk '$1 ~ /^libc\.so/ { print $3 }')"
if [ "$(id -u)" = 0 ] && command -v perf >/dev/null && [ -n "$LIBC" ]; then
  for fn in malloc calloc realloc; do
    if ! perf probe -l 2>/dev/null | grep -q "probe_libc:$fn "; then
      perf probe -q -x "$LIBC" "$fn" 2>/dev/null && ADDED_PROBES+=("probe_libc:$fn")
    fi
  done
  if perf probe -l 2>/dev/null | grep -q 'probe_libc:calloc '; then
    mkfifo "$WORK/hold"
    "$BIN/vexa-pingpong" tls-client "$DAEMON_PORT" --ca "$PKI/ca.pem" --device-request --hold \
      --iterations "$ALLOCATION_REQUESTS" <"$WORK/hold" >"$WORK/alloc-client.out" \
      2>"$WORK/alloc-client.err" &
    CLIENT_PID=$!
    PIDS+=("$CLIENT_PID")
    exec 3>"$WORK/hold"
    wait_for_holds() {
      local i
      for i in $(seq 1 200); do
        [ "$(grep -c '^holding$' "$WORK/alloc-client.err")" -ge "$1" ] && return 0
        sleep 0.05
      done
      return 1
    }
    if wait_for_holds 1; then
      perf stat -x, -e probe_libc:malloc,probe_libc:calloc,probe_libc:realloc -p "$DAEMON_PID" \
        -o "$WORK/perf-alloc.txt" 2>/dev/null &
      PERF_PID=$!
      sleep 0.5
      (echo go >&3) 2>/dev/null || true
      wait_for_holds 2 || true
      kill -INT "$PERF_PID" 2>/dev/null || true
      wait "$PERF_PID" 2>/dev/null || true
      COUNTED="$(awk -F, '/probe_libc/ { n += $1 } END { print n + 0 }' "$WORK/perf-alloc.txt")"
      ALLOCATIONS="$COUNTED over $ALLOCATION_REQUESTS relayed requests: $(awk -v a="$COUNTED" \
        -v n="$ALLOCATION_REQUESTS" 'BEGIN { printf "%.4f", a / n }') per request"
    fi
    (echo go >&3) 2>/dev/null || true
    exec 3>&-
    wait "$CLIENT_PID" 2>/dev/null || true
  fi
fi
remove_probes
ADDED_PROBES=()

# ---- the micro-benchmarks of our code ----
"$BIN/vexa-microbench" --benchmark_min_time=0.3 >"$WORK/micro.txt" 2>/dev/null

# ---- the report ----
median_of() { awk -F'\t' -v row="$2" '$1 == row { print ($2 == "ok") ? $4 : "n/a" }' "$1"; }

us() { awk -v ns="$1" 'BEGIN { if (ns == "" || ns == "n/a") print "n/a"; else printf "%.1f us", ns / 1000 }'; }

ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || a == "n/a" || b == "n/a" || b == 0) print "n/a"; else printf "%.2f", a / b }'
}

cell() {
  local file="$1" row="$2"
  awk -F'\t' -v row="$row" '$1 == row {
    if ($2 != "ok") { print "n/a"; exit }
    if ($7 > 0) printf "%.1f MiB/s", $7 / 1048576
    else if ($4 >= 1000000) printf "%.2f ms", $4 / 1000000
    else printf "%.1f us", $4 / 1000
  }' "$WORK/$file"
}

echo
echo "=== vexa benchmarks: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc --all) CPUs, $PLACEMENT, load $(cut -d' ' -f1-3 /proc/loadavg) ==="
echo
echo "PKCS#11 calls, one thread, median of up to $ITERATIONS samples (1 MiB stream: MiB/s of the median)"
printf '%-42s %12s %12s %12s %12s %12s\n' "operation" "ours HID" "ours TLS" "SoftHSM2" "p11-kit unix" "p11-kit TLS"
cut -f1 "$WORK/r-softhsm.tsv" | grep -v '^resident memory added$' | while IFS= read -r row; do
  printf '%-42s %12s %12s %12s %12s %12s\n' "$row" "$(cell r-hid.tsv "$row")" \
    "$(cell r-tls.tsv "$row")" "$(cell r-softhsm.tsv "$row")" "$(cell r-p11kit.tsv "$row")" \
    "$(cell r-p11kit-tls.tsv "$row")"
done
for f in r-hid r-tls r-softhsm r-p11kit r-p11kit-tls; do
  awk -F'\t' -v f="$f" '$2 != "ok" && $1 != "resident memory added" { print "  " f ": " $1 ": " $2 }' "$WORK/$f.tsv"
done

median_file() { sort -g "$1" | awk '{ v[NR] = $1 } END { if (NR == 0 || v[1] == "n/a") print "n/a"; else print v[int((NR + 1) / 2)] }'; }
HID="$(median_file "$WORK/g-hid")"
TLS="$(median_file "$WORK/g-tls")"
P11KIT="$(median_file "$WORK/g-p11kit")"
P11KIT_TLS="$(median_file "$WORK/g-p11kit-tls")"
FLOOR_UNIX="$(median_file "$WORK/g-unix")"
FLOOR_TLS="$(median_file "$WORK/g-floor-tls")"
LINK="$(median_file "$WORK/g-link")"
ECHO="$(median_file "$WORK/g-echo")"
RELAY="$(median_file "$WORK/g-relay")"
RELAY_DEVICE="$(median_file "$WORK/g-relay-device")"
INMEM="$(awk '/^Module\/InMemory\/GetSessionInfo / { for (i = 1; i <= NF; i++) if ($i ~ /^per_call=/) { sub("per_call=", "", $i); print $i } }' "$WORK/micro.txt")"

echo
echo "Goals: median of $ROUNDS interleaved rounds (C_GetSessionInfo unless named)"
printf '%-60s %10s %10s %7s %8s\n' "comparison" "ours" "peer" "ratio" "goal"
goal() { printf '%-60s %10s %10s %7s %8s\n' "$1" "$(us "$2")" "$(us "$3")" "$(ratio "$2" "$3")" "$4"; }
goal "ours over HID on vexa-sim / p11-kit over a Unix socket" "$HID" "$P11KIT" "<= 0.80"
goal "ours through vexa-daemon (TLS) / p11-kit through socat TLS" "$TLS" "$P11KIT_TLS" "<= 0.70"
goal "ours through vexa-daemon (TLS) / mbedTLS TLS ping-pong floor" "$TLS" "$FLOOR_TLS" "<= 2.50"
goal "daemon relay, flag 1, 100 B / bare mbedTLS TLS echo" "$RELAY" "$ECHO" "<= 1.20"
printf '%-60s %10s\n' "our code alone, module over memory, per call" "$INMEM"
printf '%-60s %10s %10s\n' "" "" "goal <= 2 us"

echo
echo "Floors and links: median of $ROUNDS interleaved rounds (100-byte round trips unless named)"
printf '%-60s %10s\n' "Unix-socket ping-pong" "$(us "$FLOOR_UNIX")"
printf '%-60s %10s\n' "mbedTLS TLS 1.2 ping-pong (loopback)" "$(us "$FLOOR_TLS")"
printf '%-60s %10s\n' "virtual HID link: one 64-byte report round trip" "$(us "$LINK")"
less() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "n/a" || a == "" || b == "n/a" || b == "") print "n/a"; else printf "%.1f us", (a - b) / 1000 }'; }
printf '%-60s %10s\n' "ours over HID, less the link: module + vexa-sim firmware" "$(less "$HID" "$LINK")"
printf '%-60s %10s\n' "p11-kit over a Unix socket, less the Unix-socket floor" "$(less "$P11KIT" "$FLOOR_UNIX")"
printf '%-60s %10s\n' "ours through vexa-daemon, less the link and the TLS floor" \
  "$(less "$(awk -v a="$TLS" -v b="$LINK" 'BEGIN { print (a == "n/a") ? a : a - b }')" "$FLOOR_TLS")"
printf '%-60s %10s\n' "bare mbedTLS TLS echo of a framed 100 B" "$(us "$ECHO")"
printf '%-60s %10s\n' "vexa-daemon relay, flag 1 (echo), 100 B" "$(us "$RELAY")"
printf '%-60s %10s\n' "vexa-daemon relay, flag 0, to vexa-sim and back" "$(us "$RELAY_DEVICE")"

echo
echo "Memory"
printf '%-60s %7s KiB\n' "vexa-daemon resident, idle after start" "$DAEMON_RSS_IDLE"
printf '%-60s %7s KiB\n' "vexa-daemon resident, idle after the runs" "$DAEMON_RSS_AFTER"
echo "vexa-daemon heap allocations: $ALLOCATIONS"
for f in r-hid:"module over HID" r-tls:"module through the daemon" r-softhsm:"SoftHSM2" r-p11kit:"p11-kit-client.so"; do
  printf '%-60s %7s KiB\n' "added by loading ${f#*:}, C_Initialize, one session" \
    "$(awk -F'\t' '$1 == "resident memory added" { print $2 }' "$WORK/${f%%:*}.tsv")"
done

echo
echo "Micro-benchmarks of our code (Google Benchmark, CPU time)"
grep -E '^(Envelope|HidFraming|Relay|Log|Module)/' "$WORK/micro.txt" |
  awk '{ extra = ""; for (i = 6; i <= NF; i++) extra = extra " " $i; printf "  %-52s %10s %-3s%s\n", $1, $4, $5, extra }'
