#!/usr/bin/env bash
# Builds the container image from a CMake Release build that is already there: stages a root file system holding
# the stripped server, the shared libraries it loads (from this Debian machine's packages) with their copyright
# files, /etc/passwd and /etc/group for the user it runs as, and the default configuration file, then builds
# dist/Containerfile on it with podman. No image registry is needed: the image starts from scratch.
# Usage: scripts/build-image.sh BUILD_DIR [TAG]      (TAG defaults to murva-signal:VERSION) Prints the tag.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: build-image.sh BUILD_DIR [TAG]}" && pwd)
[[ -x "$build/murva-signal" ]] || { echo "build-image: $build/murva-signal is not built" >&2; exit 1; }
cmake --build "$build" --target dist_files >/dev/null
version=$(cat "$build/dist/VERSION")
tag=${2:-murva-signal:$version}

context="$build/image"
root="$context/rootfs"
rm -rf "$context"
mkdir -p "$root/usr/bin" "$root/etc/murva-signal" "$root/usr/share/doc/murva-signal"
strip --strip-unneeded -o "$root/usr/bin/murva-signal" "$build/murva-signal"
install -m 0644 "$build/dist/murva-signal.json" "$root/etc/murva-signal/murva-signal.json"
install -m 0644 "$src/LICENSE" "$root/usr/share/doc/murva-signal/copyright"

# Every library the dynamic loader resolves (and the loader itself), at the path it was found, as a real file.
libraries=$(ldd "$build/murva-signal" | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}')
[[ -n "$libraries" ]] || { echo "build-image: ldd found no libraries" >&2; exit 1; }
for library in $libraries; do
    mkdir -p "$root$(dirname "$library")"
    cp -L "$library" "$root$library"
    package=
    real=$(realpath "$library")
    for path in "$library" "$real" "${real#/usr}"; do # with /usr merged, dpkg knows one of these names
        package=$(dpkg -S "$path" 2>/dev/null | head -1 | cut -d: -f1) || true
        [[ -n "$package" ]] && break
    done
    [[ -n "$package" ]] || { echo "build-image: no Debian package holds $library" >&2; exit 1; }
    mkdir -p "$root/usr/share/doc/$package"
    cp "/usr/share/doc/$package/copyright" "$root/usr/share/doc/$package/copyright"
done

printf 'root:x:0:0:root:/root:/usr/sbin/nologin\nmurva:x:10001:10001:murva-signal:/nonexistent:/usr/sbin/nologin\n' \
    >"$root/etc/passwd"
printf 'root:x:0:\nmurva:x:10001:\n' >"$root/etc/group"

cp "$src/dist/Containerfile" "$context/Containerfile"
podman build -q --format docker --label org.opencontainers.image.version="$version" \
    --label org.opencontainers.image.licenses=MIT -t "$tag" "$context" >"$context/build.log" 2>&1 ||
    { cat "$context/build.log" >&2; echo "build-image: podman build failed" >&2; exit 1; }
echo "$tag"
