#!/usr/bin/env bash
# Builds the Debian package from a CMake build that is already there (nothing of the server is compiled again):
# stages the binary, the default configuration file, the manual page and the documents next to dist/debian/, and
# runs dpkg-buildpackage on it. The package's version is the CMake project's, the one `murva-signal --version`
# prints, unless VERSION is given (a newer package of the same server, for a test's upgrade).
# Usage: scripts/build-deb.sh BUILD_DIR [VERSION]      Prints the path of the .deb it made.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: build-deb.sh BUILD_DIR [VERSION]}" && pwd)
[[ -x "$build/murva-signal" ]] || { echo "build-deb: $build/murva-signal is not built" >&2; exit 1; }
cmake --build "$build" --target dist_files >/dev/null
version=${2:-$(cat "$build/dist/VERSION")}

out="$build/deb/$version"
stage="$out/murva-signal-$version"
rm -rf "$out"
mkdir -p "$stage"
cp -r "$src/dist/debian" "$stage/debian"
cp "$build/murva-signal" "$build/dist/murva-signal.json" "$build/dist/murva-signal.8" "$stage/"
# CHANGELOG.md goes in beside the package's own changelog (debian/rules), not where debhelper would take it for that.
mkdir "$stage/doc"
cp "$src/README.md" "$stage/"
cp "$src/CHANGELOG.md" "$stage/doc/"

# The unit is dist/murva-signal.service with the packaged binary and configuration file; the server writes nothing,
# so it needs no state directory.
{
    cat <<'HEAD'
# murva-signal as a system service, from its Debian package. The server reads /etc/murva-signal/murva-signal.json
# (a conffile: upgrades keep your edits); edit it, then `systemctl restart murva-signal`. Secrets are better kept
# out of it, as MURVA_SIGNAL_PASSWORD=... lines in /etc/murva-signal/environment (yours to make, mode 0600: systemd
# reads it before the server starts as its own user).
# For a port below 1024 add, in a drop-in:
#   CapabilityBoundingSet=CAP_NET_BIND_SERVICE
#   AmbientCapabilities=CAP_NET_BIND_SERVICE

HEAD
    sed -n '/^\[Unit\]/,$p' "$src/dist/murva-signal.service" |
        sed -e 's|^ExecStart=.*|ExecStart=/usr/bin/murva-signal /etc/murva-signal/murva-signal.json|' \
            -e '/^StateDirectory=/d' -e '/^WorkingDirectory=/d' \
            -e '/^Description=/a Documentation=man:murva-signal(8)' \
            -e '/^ExecStart=/i EnvironmentFile=-/etc/murva-signal/environment'
} >"$stage/debian/murva-signal.service"
grep -q '^ExecStart=/usr/bin/murva-signal /etc/' "$stage/debian/murva-signal.service" ||
    { echo "build-deb: dist/murva-signal.service has no ExecStart= line to rewrite" >&2; exit 1; }

# One entry for this version, dated when CHANGELOG.md last changed, so the same tree builds the same package.
cat >"$stage/debian/changelog" <<CHANGES
murva-signal ($version) unstable; urgency=medium

  * murva-signal $version: what changed is in CHANGELOG.md.

 -- The murva-signal developers <murva-signal@example.org>  $(date -R -r "$src/CHANGELOG.md")
CHANGES

(cd "$stage" && dpkg-buildpackage -b -us -uc >"$out/build.log" 2>&1) ||
    { cat "$out/build.log" >&2; echo "build-deb: dpkg-buildpackage failed" >&2; exit 1; }
ls "$out"/murva-signal_"$version"_*.deb
