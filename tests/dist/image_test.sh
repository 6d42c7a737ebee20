#!/usr/bin/env bash
# The container image, built with podman from BUILD_DIR and run on loopback with a configuration file put over
# /etc/murva-signal/murva-signal.json: the page, /healthz, two clients relaying, the image's own HEALTHCHECK, the
# drain on SIGTERM ending in exit status 0, a non-root process, and nothing in the image but the server, its
# libraries and its files. Prints the image's size and the time from start to a healthy server.
# Where podman cannot start containers (a runtime without the capabilities crun needs, as on our CI machines), the
# image's exported root file system runs in a chroot with the image's user, entrypoint, command, environment and
# working directory: everything is checked but the container runtime itself, and the test says so.
# Usage: image_test.sh SOURCE_DIR BUILD_DIR   (BUILD_DIR holds the Release build; nothing is compiled again)
# Needs root and podman; exits 77 (skipped) without root.
set -euo pipefail

src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
if [[ $(id -u) -ne 0 ]]; then
    echo "SKIP: podman and chroot need root here"
    exit 77
fi
command -v node >/dev/null || { echo "FAIL: node is missing (scripts/install-deps.sh --e2e)" >&2; exit 1; }
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
inspect() { podman image inspect --format "$1" "$tag"; }

tmp=$(mktemp -d)
name="murva-image-test-$$"
tag="localhost/murva-signal-test:$$"
pid=
cleanup() {
    [[ -z "$pid" ]] || kill -KILL "$pid" 2>/dev/null || true
    podman rm -f "$name" >/dev/null 2>&1 || true
    podman rmi -f "$tag" >/dev/null 2>&1 || true
    rm -rf "$tmp"
}
trap cleanup EXIT

"$src/scripts/build-image.sh" "$build" "$tag" >/dev/null
size=$(inspect '{{.Size}}')
echo "image size: $((size / 1000000)) MB ($size bytes)"
((size < 40000000)) || fail "the image is $size bytes, more than 40 MB"

user=$(inspect '{{.Config.User}}')
[[ -n "$user" && "${user%%:*}" != 0 && "${user%%:*}" != root ]] || fail "the image runs as '$user'"
read -r -a health <<<"$(inspect '{{range $i, $a := .Config.Healthcheck.Test}}{{if $i}}{{$a}} {{end}}{{end}}')"
[[ ${#health[@]} -gt 0 ]] || fail "the image has no HEALTHCHECK"

# Nothing to run but the server: no shell, package manager or compiler came in with it.
podman create --name "$name" "$tag" >/dev/null
mkdir "$tmp/root"
podman export "$name" | tar -C "$tmp/root" -x
podman rm "$name" >/dev/null
programs=$(find "$tmp/root" -type f -perm -u+x ! -name '*.so*' -printf '/%P\n')
[[ "$programs" == /usr/bin/murva-signal ]] || fail "executables in the image besides the server: $programs"

# The operator's file: loopback ports, an admin listener, a short drain.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
admin=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$tmp/murva-signal.json" <<CONF
{"port": $port, "bind_address": "127.0.0.1", "admin": {"port": $admin}, "drain_timeout_ms": 2000}
CONF
chmod 0644 "$tmp/murva-signal.json"

started=$(date +%s%N)
if podman run -d --name "$name" --network host -v "$tmp/murva-signal.json:/etc/murva-signal/murva-signal.json:ro" \
    "$tag" >"$tmp/run" 2>&1; then
    runtime=podman
    pid=$(podman inspect --format '{{.State.Pid}}' "$name")
    stop=(podman kill --signal TERM "$name")
    in_image() { podman exec "$name" "$@"; }
else
    grep -q 'setrlimit' "$tmp/run" || fail "podman run: $(cat "$tmp/run")"
    echo "NOTE: podman cannot start containers here ($(grep -o 'setrlimit[^:]*: [^:]*' "$tmp/run" | head -1));" \
        "running the image's root file system in a chroot instead: the runtime itself is not checked"
    runtime=chroot
    cp "$tmp/murva-signal.json" "$tmp/root/etc/murva-signal/murva-signal.json"
    read -r -a command <<<"$(inspect '{{range .Config.Entrypoint}}{{.}} {{end}}{{range .Config.Cmd}}{{.}} {{end}}')"
    mapfile -t environment < <(inspect '{{range .Config.Env}}{{println .}}{{end}}' | grep .)
    workdir=$(inspect '{{.Config.WorkingDir}}')
    in_image() {
        (cd "$tmp/root${workdir:-/}" && exec env -i "${environment[@]}" chroot --userspec="$user" "$tmp/root" "$@")
    }
    (cd "$tmp/root${workdir:-/}" && exec env -i "${environment[@]}" chroot --userspec="$user" "$tmp/root" \
        "${command[@]}") >"$tmp/run" 2>&1 &
    pid=$! # the server itself, once the subshell has exec'd
    stop=(kill -TERM "$pid")
fi
logs() { if [[ $runtime == podman ]]; then podman logs "$name" 2>&1; else cat "$tmp/run"; fi; }

for _ in $(seq 100); do
    in_image "${health[@]}" 2>/dev/null && break
    sleep 0.05
done
in_image "${health[@]}" || fail "the image's HEALTHCHECK fails on a running server: $(logs)"
echo "start to healthy: $((($(date +%s%N) - started) / 1000000)) ms ($runtime)"
uid=$(awk '/^Uid:/ {print $2}' "/proc/$pid/status")
[[ "$uid" != 0 ]] || fail "the server runs as root"
logs | grep -q "listening on ws://127.0.0.1:$port" || fail "the server did not log to standard output: $(logs)"

node "$src/tests/dist/image_clients.mjs" "$port" "$admin" "${stop[@]}" || fail "clients: $(logs)"
if [[ $runtime == podman ]]; then
    status=$(timeout 30 podman wait "$name") || fail "the container did not stop"
else
    status=0
    wait "$pid" || status=$?
fi
pid=
[[ "$status" == 0 ]] || fail "the server exited with $status after SIGTERM: $(logs)"
echo "PASS"
