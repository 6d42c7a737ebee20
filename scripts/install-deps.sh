#!/usr/bin/env bash
# Installs, only when missing, what building and testing murva-signal needs from Debian's archive.
# Usage: scripts/install-deps.sh [--e2e]   (--e2e adds Chromium and coturn for the end-to-end tests)
set -euo pipefail

# prometheus and systemd bring promtool and systemd-analyze, which check the metrics text and the unit in the tests;
# haproxy and nginx are the reverse proxies the tests put in front of the server.
packages=(g++ clang clang-format libclang-rt-14-dev cmake ninja-build make pkg-config libboost1.81-dev nlohmann-json3-dev libssl-dev libgtest-dev
          openssl python3 iproute2 procps prometheus systemd haproxy nginx)
# The cluster layer speaks to Redis through hiredis; its tests start a real redis-server and use redis-cli, and
# run it as sentinels too (redis-server --sentinel; redis-sentinel is the package the README's set-up uses).
packages+=(libhiredis-dev redis-server redis-sentinel redis-tools)
# `make deb` (debhelper, checked with lintian and man) and `make image` (podman).
packages+=(debhelper lintian man-db podman)
# The join token tests mint their tokens with node and the jose package.
packages+=(nodejs)
# A nodejs build that bundles npm (as on our machines) conflicts with Debian's separate npm package.
command -v npm >/dev/null || packages+=(npm)
if [[ "${1:-}" == "--e2e" ]]; then
    packages+=(chromium coturn)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "install-deps: missing packages: ${missing[*]} (run as root, or install them)" >&2
        exit 1
    fi
    echo "install-deps: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The npm packages of the tests, exactly as package-lock.json pins them; again only when node_modules is missing
# or older than the lock file. No install scripts run, so nothing downloads a browser or a binary.
root=$(cd "$(dirname "$0")/.." && pwd)
if [[ ! -d "$root/node_modules" || "$root/package-lock.json" -nt "$root/node_modules" ]]; then
    echo "install-deps: installing the npm packages of the tests"
    (cd "$root" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --ignore-scripts --no-audit --no-fund)
    touch "$root/node_modules"
fi
