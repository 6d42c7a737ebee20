#!/usr/bin/env bash
# Installs, only when missing, what building and testing murva-signal needs from Debian's archive.
# Usage: scripts/install-deps.sh [--e2e]   (--e2e adds Chromium and the npm packages of the end-to-end tests)
set -euo pipefail

packages=(g++ cmake ninja-build make pkg-config libboost1.81-dev nlohmann-json3-dev libssl-dev libgtest-dev
          openssl python3 iproute2 procps)
if [[ "${1:-}" == "--e2e" ]]; then
    packages+=(chromium nodejs npm)
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
