#!/usr/bin/env bash
# Runs the fixed load set against a Release murva-signal over loopback and prints a table and the JSON lines,
# then the side-by-side rounds: this server, any others named, and the floor relay, in turn.
# Each workload gets a fresh server (so memory figures start from an idle process), which is killed by its PID.
# Usage: bench/run.sh [BUILD_DIR]   (default: build-bench; murva-signal and bench/murva-bench must be built there)
# Environment:
#   MURVA_BENCH_SERVERS    more servers for the side-by-side rounds, "NAME=PATH ..." (e.g. "before=/tmp/old/murva-signal")
#   MURVA_BENCH_ROUNDS     side-by-side rounds [4]
#   MURVA_BENCH_ONLY       "compare": only the side-by-side rounds
#   MURVA_FLOOR_RELAY_SRC  the floor relay's source [the repository's ../shared/bench/floor-relay.c]; without it
#                          the rounds run without the floor
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
compared=$work/compared.jsonl # the side-by-side rounds, each line labelled with its server
results_file=$results
pids=()     # every process of the current workload (servers, redis-server), stopped by PID after it
port=""     # the (first) server's port and PID
server_pid=""
port_b=""   # the second instance's port, in cross-instance workloads
more_pids=""

stop_servers() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do # the servers before the redis-server they use
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    pids=()
}
cleanup() {
    stop_servers
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# An ECDSA P-256 certificate for the wss workloads, made fresh in the temporary directory.
make_certificate() {
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=127.0.0.1 \
        -keyout "$work/key.pem" -out "$work/cert.pem" 2>"$work/openssl.log" || { cat "$work/openssl.log" >&2; exit 1; }
}

# wait_for PORT LOG: until 127.0.0.1:PORT accepts; otherwise show LOG and give up.
wait_for() {
    if ! "$bench_bin" wait-port --port "$1" --timeout 10; then
        cat "$2" >&2
        exit 1
    fi
}

# start_server NAME [tls|cluster REDIS_PORT]: a fresh server on a free port, its PID and port in started_pid and
# started_port. With "tls" it serves wss only, with the certificate above; with "cluster" it shares rooms through
# the redis-server on REDIS_PORT.
start_server() {
    local name=$1 extra='"tls": { "enabled": false },'
    started_port=$("$bench_bin" free-port)
    if [[ ${2:-} == tls ]]; then
        extra="\"tls\": { \"enabled\": true, \"cert_file\": \"$work/cert.pem\", \"key_file\": \"$work/key.pem\" },"
    elif [[ ${2:-} == cluster ]]; then
        extra="\"cluster\": { \"redis\": \"redis://127.0.0.1:$3/0\", \"instance\": \"$name\" },"
    elif [[ ${2:-} == auth ]]; then
        extra="\"auth\": { \"issuer\": \"bench\", \"audience\": \"murva\", \"keys\": \"keys.json\", \"hs256_secret\": \"$(minted secret)\" },"
    fi
    # Limits open, log off, loopback only.
    cat >"$work/$name.json" <<JSON
{
  $extra
  "port": $started_port,
  "bind_address": "127.0.0.1",
  "log_level": "none",
  "max_connections": 0,
  "max_connections_per_ip": 0,
  "max_rooms": 0,
  "drain_timeout_ms": 0
}
JSON
    (cd "$work" && exec "$server_bin" "$name.json" >"$work/$name.log" 2>&1) &
    started_pid=$!
    pids+=("$started_pid")
    wait_for "$started_port" "$work/$name.log"
    # An instance of several takes joins once Redis has answered it.
    if [[ ${2:-} == cluster ]] && ! "$bench_bin" wait-ready --port "$started_port" --timeout 10; then
        cat "$work/$name.log" >&2
        exit 1
    fi
}

# A redis-server without persistence on a free port, for the cross-instance workloads; its PID in redis_pid.
start_redis() {
    redis_port=$("$bench_bin" free-port)
    redis-server --port "$redis_port" --bind 127.0.0.1 --save "" --appendonly no --daemonize no \
        >"$work/redis.log" 2>&1 &
    redis_pid=$!
    pids+=("$redis_pid")
    wait_for "$redis_port" "$work/redis.log"
}

measure() {
    local status=0 cluster=()
    [[ -n $port_b ]] && cluster=(--port-b "$port_b" --more-pids "$more_pids")
    "$bench_bin" "$@" --port "$port" --server-pid "$server_pid" "${cluster[@]}" --json "$results_file" \
        >"$work/out.txt" || status=$?
    grep -v '^{' "$work/out.txt" || true
    [[ $status -eq 0 ]] || echo "   (workload $1 ended with status $status)"
    stop_servers
    port_b=""
    more_pids=""
}

# run WORKLOAD [options]: one workload against a fresh server (over wss when the options hold --tls).
run() {
    if [[ " $* " == *" --tls "* ]]; then start_server murva-signal tls; else start_server murva-signal; fi
    port=$started_port
    server_pid=$started_pid
    measure "$@"
}

# minted FIELD: one value of the key set and tokens minted for the token workloads (tests/support/mint_tokens.mjs).
minted() {
    node -e 'const m = JSON.parse(require("fs").readFileSync(process.argv[1])); const v = process.argv[2].split(".").reduce((o, k) => o[k], m); process.stdout.write(typeof v == "string" ? v : JSON.stringify(v))' "$work/minted.json" "$1"
}

# run_tokens: the joins workload with a token in every join, once per algorithm, against a server that checks them.
run_tokens() {
    if ! command -v node >/dev/null || ! node "$root/tests/support/mint_tokens.mjs" bench murva >"$work/minted.json"; then
        echo "   (token workloads skipped: node and the npm packages are needed, see scripts/install-deps.sh)"
        return
    fi
    minted keys >"$work/keys.json"
    local alg
    for alg in HS256 ES256 EdDSA RS256; do
        start_server murva-signal auth
        port=$started_port
        server_pid=$started_pid
        measure joins --clients 4000 --concurrency 128 --token "$(minted "anyRoom.$alg")" --token-alg "$alg"
    done
}

# run_cluster WORKLOAD [options]: as run, against two fresh instances sharing rooms through a fresh redis-server;
# member A of every pair connects to the first, B to the second, and the CPU of all three counts as the server's.
run_cluster() {
    start_redis
    start_server instance-1 cluster "$redis_port"
    port=$started_port
    server_pid=$started_pid
    start_server instance-2 cluster "$redis_port"
    port_b=$started_port
    more_pids="$started_pid,$redis_pid"
    measure "$@"
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

# --- side by side: the servers named (this build as "murva") and the floor relay, alternating in each round ---

declare -A compared_bin=([murva]=$server_bin)
compared_labels=(murva)
for entry in ${MURVA_BENCH_SERVERS:-}; do
    name=${entry%%=*} path=${entry#*=}
    [[ $name != "$entry" && -x $path && $name != floor ]] || { echo "run.sh: MURVA_BENCH_SERVERS: bad entry $entry" >&2; exit 1; }
    compared_bin[$name]=$(cd "$(dirname "$path")" && pwd)/$(basename "$path")
    compared_labels+=("$name")
done
floor_src=${MURVA_FLOOR_RELAY_SRC:-$root/../shared/bench/floor-relay.c}
if [[ -f $floor_src ]] && cc -O2 -o "$work/floor-relay" "$floor_src" -lcrypto 2>"$work/floor-build.log"; then
    compared_labels+=(floor)
else
    echo "murva-bench: the floor relay is not compared: $floor_src is missing or does not build" \
         "(set MURVA_FLOOR_RELAY_SRC)"
    [[ -s $work/floor-build.log ]] && cat "$work/floor-build.log"
fi

# start_compared LABEL: a fresh server of that label, its PID and port in started_pid and started_port.
start_compared() {
    if [[ $1 == floor ]]; then
        started_port=$("$bench_bin" free-port)
        "$work/floor-relay" "$started_port" >"$work/floor.log" 2>&1 &
        started_pid=$!
        pids+=("$started_pid")
        wait_for "$started_port" "$work/floor.log"
    else
        local ours=$server_bin
        server_bin=${compared_bin[$1]}
        start_server murva-signal
        server_bin=$ours
    fi
}

# run_compared LABEL WORKLOAD [options]
run_compared() {
    local label=$1
    shift
    start_compared "$label"
    port=$started_port
    server_pid=$started_pid
    results_file=$compared
    measure "$@" --label "$label"
    results_file=$results
}

compare() {
    local rounds=${MURVA_BENCH_ROUNDS:-4} round label
    echo "Side by side, $rounds rounds: ${compared_labels[*]}"
    for ((round = 1; round <= rounds; round++)); do
        echo "-- round $round"
        for label in "${compared_labels[@]}"; do
            run_compared "$label" latency --pairs 64 --rate 10000 --warmup 1 --duration 3 --syscalls
            run_compared "$label" stream --pairs 16 --window 32 --duration 3 --syscalls
            # At full speed each server runs at its own rate, so its CPU per frame is taken at its own load; at a
            # rate every one reaches here (this build about 300k frames/s at full speed, the floor 450k) they are
            # measured at the same load.
            run_compared "$label" stream --pairs 16 --window 32 --rate 150000 --duration 3 --syscalls
            run_compared "$label" joins --clients 4000 --concurrency 128
            run_compared "$label" idle --clients 10000
        done
    done
    echo
    "$bench_bin" compare "$compared" "$([[ " ${compared_labels[*]} " == *" floor "* ]] && echo floor || echo murva)"
}

if [[ ${MURVA_BENCH_ONLY:-} == compare ]]; then
    compare
    echo
    cat "$compared"
    exit 0
fi

make_certificate
run stream --pairs 16 --window 32 --duration 5 --syscalls
run_cluster stream --pairs 16 --window 32 --duration 5
run pingpong --pairs 64 --duration 5
for rate in 5000 20000 40000; do
    run latency --pairs 64 --rate "$rate" --warmup 1 --duration 3 --syscalls
done
run joins --clients 4000 --concurrency 128
run_cluster joins --clients 4000 --concurrency 128
run joins --clients 4000 --concurrency 128 --churn
run joins --clients 4000 --concurrency 128 --tls
run_tokens
run idle --clients 10000
run idle --clients 10000 --tls
run capacity --clients "$capacity" --sources 250 --concurrency 256 --timeout 120

echo
compare
echo
"$bench_bin" table "$results"
echo
cat "$results" "$compared"
