#!/bin/sh
# Puts go-ios's `ios` binary for this machine into the cache folder, from the npm package of one
# pinned version. The package carries prebuilt binaries; `npm pack` only downloads it (no install
# scripts run), and the tarball is checked against the pinned checksum before anything is used.
#
#   scripts/fetch-go-ios.sh [CACHE_FOLDER]    prints the path of the binary
set -eu
version=1.2.0
sha1=adea4cf3115b167307e30baf776cd6fc6dd27471
cache=${1:-${XDG_CACHE_HOME:-$HOME/.cache}/pindrift/go-ios-$version}
binary="$cache/ios"
if [ -x "$binary" ]; then
    echo "$binary"
    exit 0
fi

case "$(uname -s)" in
Linux) os=linux ;;
Darwin) os=darwin ;;
*) echo "go-ios: no prebuilt binary for $(uname -s)" >&2; exit 1 ;;
esac
case "$(uname -m)" in
x86_64 | amd64) arch=amd64 ;;
aarch64 | arm64) arch=arm64 ;;
*) echo "go-ios: no prebuilt binary for $(uname -m)" >&2; exit 1 ;;
esac

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && npm pack --silent "go-ios@$version" >/dev/null)
tarball="$work/go-ios-$version.tgz"
if command -v sha1sum >/dev/null 2>&1; then
    sum=$(sha1sum "$tarball" | cut -d' ' -f1)
else
    sum=$(shasum -a 1 "$tarball" | cut -d' ' -f1)
fi
if [ "$sum" != "$sha1" ]; then
    echo "go-ios: checksum mismatch for go-ios@$version ($sum, expected $sha1)" >&2
    exit 1
fi
member="package/dist/go-ios-${os}-${arch}_${os}_${arch}/ios"
tar -xzf "$tarball" -C "$work" "$member"
mkdir -p "$cache"
install -m 0755 "$work/$member" "$binary.tmp"
mv "$binary.tmp" "$binary"
echo "$binary"
