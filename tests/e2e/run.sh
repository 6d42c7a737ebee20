#!/bin/sh
# Runs the end-to-end tests (tests/e2e/*.test.mjs) against a built murva-signal.
# Usage: tests/e2e/run.sh [path/to/murva-signal]      (default: build/murva-signal)
#
# Everything runs inside a fresh network namespace with only loopback up, so no WebRTC stack can gather or
# probe the machine's real interfaces; it is also a fresh PID namespace, so whatever is left when the tests end
# (a server, a browser) dies with it. Both need root; without it the tests are skipped (exit 77).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
binary=${1:-$root/build/murva-signal}

if [ ! -x "$binary" ]; then
    echo "e2e: murva-signal binary not found at $binary" >&2
    exit 1
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "e2e: skipped: these tests need root to run in their own network namespace (unshare -n)"
    exit 77
fi
for package in node-datachannel playwright-core; do
    if [ ! -d "$root/node_modules/$package" ]; then
        echo "e2e: npm package $package is missing; run scripts/install-deps.sh --e2e" >&2
        exit 1
    fi
done
if ! command -v turnserver >/dev/null || ! command -v turnutils_uclient >/dev/null; then
    echo "e2e: coturn (turnserver, turnutils_uclient) is missing; run scripts/install-deps.sh --e2e" >&2
    exit 1
fi
chromium=${MURVA_CHROMIUM:-/usr/bin/chromium}
turnserver=${MURVA_TURNSERVER:-/usr/bin/turnserver}
for tool in "$chromium" "$turnserver"; do
    if [ ! -x "$tool" ]; then
        echo "e2e: $tool is missing; run scripts/install-deps.sh --e2e" >&2
        exit 1
    fi
done

MURVA_SIGNAL_BINARY=$(cd "$(dirname "$binary")" && pwd)/$(basename "$binary")
export MURVA_SIGNAL_BINARY
cd "$root"
exec unshare --net --pid --fork --kill-child --mount-proc sh -c '
    ip link set lo up || exit 1
    node --test --test-concurrency=1 --test-timeout=180000 tests/e2e/*.test.mjs'
