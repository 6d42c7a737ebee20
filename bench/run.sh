#!/usr/bin/env bash
# Runs the fixed load set against a Release murva-signal over loopback and prints a table and the JSON lines.
# Each workload gets a fresh server (so memory figures start from an idle process), which is killed by its PID.
# Usage: bench/run.sh [BUILD_DIR]   (default: build-bench; murva-signal and bench/murva-bench must be built there)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build-bench}" && pwd)
server_bin=$build/murva-signal
bench_bin=$build/bench/murva-bench
for bin in "$server_bin" "$bench_bin"; do
    [[ -x $bin ]] || { echo "run.sh: $bin is not built" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/murva-bench.XXXXXX")
results=$work/results.jsonl
server_pid=""
port=""

stop_server() {
    if [[ -n $server_pid ]]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        server_pid=""
    fi
}
cleanup() {
    stop_server
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# An ECDSA P-256 certificate for the wss workloads, made fresh in the temporary directory.
make_certificate() {
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=127.0.0.1 \
        -keyout "$work/key.pem" -out "$work/cert.pem" 2>"$work/openssl.log" || { cat "$work/openssl.log" >&2; exit 1; }
}

# start_server [tls]: a fresh server on a free port; with "tls" it serves wss only, with the certificate above.
start_server() {
    port=$("$bench_bin" free-port)
    local tls='"enabled": false'
    if [[ ${1:-} == tls ]]; then
        tls="\"enabled\": true, \"cert_file\": \"$work/cert.pem\", \"key_file\": \"$work/key.pem\""
    fi
    # Limits open, log off, loopback only.
    cat >"$work/murva-signal.json" <<JSON
{
  "tls": { $tls },
  "port": $port,
  "bind_address": "127.0.0.1",
  "log_level": "none",
  "max_connections": 0,
  "max_connections_per_ip": 0,
  "max_rooms": 0,
  "drain_timeout_ms": 0
}
JSON
    (cd "$work" && exec "$server_bin" murva-signal.json >"$work/server.log" 2>&1) &
    server_pid=$!
    if ! "$bench_bin" wait-port --port "$port" --timeout 10; then
        cat "$work/server.log" >&2
        exit 1
    fi
}

# run WORKLOAD [options]: one workload against a fresh server (over wss when the options hold --tls).
run() {
    if [[ " $* " == *" --tls "* ]]; then start_server tls; else start_server; fi
    local status=0
    "$bench_bin" "$@" --port "$port" --server-pid "$server_pid" --json "$results" >"$work/out.txt" || status=$?
    grep -v '^{' "$work/out.txt" || true
    [[ $status -eq 0 ]] || echo "   (workload $1 ended with status $status)"
    stop_server
}

# Both processes get as many descriptors as the hard limit allows (the server raises its own limit too).
hard=$(ulimit -Hn)
ulimit -n "$hard" 2>/dev/null || true
read -r port_low port_high </proc/sys/net/ipv4/ip_local_port_range
ports=$((port_high - port_low + 1))

# Capacity: 100,000 joined connections when the machine allows. Server and generator each hold one descriptor
# per connection, so the hard open-file limit bounds it; 250 source addresses give 250 x the ephemeral ports.
capacity=100000
if [[ $hard != unlimited ]] && ((hard - 100 < capacity)); then
    capacity=$((hard - 100))
fi
if ((250 * ports < capacity)); then
    capacity=$((250 * ports))
fi

echo "murva-bench: $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg), open-file hard limit $hard," \
     "ephemeral ports $port_low-$port_high"
if ((capacity < 100000)); then
    echo "murva-bench: capacity target lowered to $capacity by the open-file hard limit (see bench/README.md)"
fi
echo

make_certificate
run stream --pairs 16 --window 32 --duration 5 --syscalls
run pingpong --pairs 64 --duration 5
for rate in 5000 20000 40000; do
    run latency --pairs 64 --rate "$rate" --warmup 1 --duration 3 --syscalls
done
run joins --clients 4000 --concurrency 128
run joins --clients 4000 --concurrency 128 --churn
run joins --clients 4000 --concurrency 128 --tls
run idle --clients 10000
run idle --clients 10000 --tls
run capacity --clients "$capacity" --sources 250 --concurrency 256 --timeout 120

echo
"$bench_bin" table "$results"
echo
cat "$results"
