#!/usr/bin/env bash
# The Debian package, on this machine: built from BUILD_DIR and checked with lintian, installed with apt, its files
# and unit checked, the server started the way the unit starts it (as an unprivileged user, on the conffile), an
# edit of the conffile kept across an upgrade to a newer package, and a purge that leaves nothing.
# Usage: package_test.sh SOURCE_DIR BUILD_DIR   (BUILD_DIR holds the Release build; nothing is compiled again)
# Needs root (apt); exits 77 (skipped) without it. It stops if murva-signal is installed already, waits for other
# runs of it on this machine, and purges the package whatever happens.
set -euo pipefail

src=$1
build=$(cd "$2" && pwd)
if [[ $(id -u) -ne 0 ]]; then
    echo "SKIP: installing a package needs root"
    exit 77
fi
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# One run at a time on a machine, whichever checkout it comes from: they all install the same package.
exec 9>/run/lock/murva-signal-package-test
flock -w 200 9 || fail "another run of this test held the lock for 200 s"
leftovers() {
    find /etc /usr /lib /var/lib/systemd /var/lib/dpkg/info -xdev -name '*murva-signal*' 2>/dev/null
}
if dpkg-query -W -f='${Status}' murva-signal 2>/dev/null | grep -q installed; then
    fail "murva-signal is installed on this machine; this test would replace it"
fi
[[ -z "$(leftovers)" ]] || fail "files of murva-signal are on this machine before the test: $(leftovers)"

tmp=$(mktemp -d)
server=
cleanup() {
    [[ -z "$server" ]] || kill "$server" 2>/dev/null || true
    apt-get purge -y -qq -o DPkg::Lock::Timeout=300 murva-signal >/dev/null 2>&1 || true
    rm -rf "$tmp"
}
trap cleanup EXIT
apt_get() {
    DEBIAN_FRONTEND=noninteractive apt-get -y -qq -o DPkg::Lock::Timeout=300 "$@" >"$tmp/apt" 2>&1 ||
        fail "apt-get $*: $(cat "$tmp/apt")"
}

upstream=$("$build/murva-signal" --version | cut -d' ' -f2)
first=$("$src/scripts/build-deb.sh" "$build")
second=$("$src/scripts/build-deb.sh" "$build" "$upstream+1")
lintian --fail-on error,warning "$first" || fail "lintian"

echo "== apt-get install $first"
apt_get install "$first"
[[ $(dpkg-query -W -f='${Version}' murva-signal) == "$upstream" ]] || fail "package version is not $upstream"
[[ $(/usr/bin/murva-signal --version) == "murva-signal $upstream" ]] || fail "installed binary's --version"
dpkg-query -W -f='${Depends}' murva-signal | grep -q libssl3 || fail "dependencies were not computed"
conf=/etc/murva-signal/murva-signal.json
dpkg-query -W -f='${Conffiles}\n' murva-signal | grep -q "^ $conf " || fail "$conf is not a conffile"
cmp -s "$conf" "$build/dist/murva-signal.json" || fail "$conf is not the server's default file"
[[ -s /usr/share/doc/murva-signal/copyright ]] || fail "no copyright file"
man -w murva-signal.8 >/dev/null 2>&1 || fail "man cannot find murva-signal(8)"
man --warnings -l "$(man -w murva-signal.8)" 2>&1 >/dev/null | grep . && fail "the manual page draws warnings"
# Every form of the command line and every key the README's tables describe is in the manual page.
LC_ALL=C MANWIDTH=300 man -l "$(man -w murva-signal.8)" 2>/dev/null >"$tmp/man"
sed 's/\\|/@BAR@/g' "$src/README.md" | awk -F'|' '/^\| (Form|Key) \|/ {t = 1; next} t && /^\|/ {print $2; next} {t = 0}' |
    grep -v -- '---' | sed 's/`//g; s/@BAR@/|/g; s/^ *//; s/ *$//; s/,.*//' >"$tmp/entries"
[[ $(wc -l <"$tmp/entries") -gt 20 ]] || fail "found only $(wc -l <"$tmp/entries") table rows in README.md"
while read -r entry; do
    grep -qF -- "$entry" "$tmp/man" || fail "the manual page lacks '$entry'"
done <"$tmp/entries"

unit=/lib/systemd/system/murva-signal.service
systemd-analyze verify "$unit" >"$tmp/verify" 2>&1 || fail "systemd-analyze verify: $(cat "$tmp/verify")"
! grep -q murva-signal "$tmp/verify" || fail "systemd-analyze verify warned: $(cat "$tmp/verify")"
systemd-analyze security --offline=yes --threshold=20 "$unit" >/dev/null || fail "unit's exposure above 2.0"
[[ -L /etc/systemd/system/multi-user.target.wants/murva-signal.service ]] || fail "the unit is not enabled"

# The operator's edit: a free loopback port. Then the unit's own command line, as a user who owns nothing.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sed -i -e "s/\"port\": [0-9]*/\"port\": $port/" -e 's/"bind_address": "[^"]*"/"bind_address": "127.0.0.1"/' "$conf"
grep -q "\"port\": $port," "$conf" || fail "could not edit $conf"
edited=$(cat "$conf")
read -r -a exec_start <<<"$(sed -n 's/^ExecStart=//p' "$unit")"
[[ "${exec_start[*]: -1}" == "$conf" ]] || fail "the unit does not start the server on $conf: ${exec_start[*]}"
(cd / && exec setpriv --reuid=nobody --regid=nogroup --clear-groups "${exec_start[@]}") >"$tmp/out" 2>&1 &
server=$!
for _ in $(seq 50); do
    /usr/bin/murva-signal --healthcheck "$conf" 2>/dev/null && break
    sleep 0.1
done
/usr/bin/murva-signal --healthcheck "$conf" || fail "the server the unit starts is not healthy: $(cat "$tmp/out")"
kill -TERM "$server"
wait "$server" || fail "the server did not stop cleanly on SIGTERM: $(cat "$tmp/out")"
server=

echo "== apt-get install $second (upgrade)"
apt_get install "$second"
[[ $(dpkg-query -W -f='${Version}' murva-signal) == "$upstream+1" ]] || fail "upgrade did not happen"
[[ $(cat "$conf") == "$edited" ]] || fail "the upgrade did not keep the edited $conf"
ls /etc/murva-signal | grep -q 'dpkg-' && fail "the upgrade left $(ls /etc/murva-signal)"

echo "== apt-get purge murva-signal"
apt_get purge murva-signal
[[ -z "$(leftovers)" ]] || fail "purge left: $(leftovers)"
echo "PASS"
