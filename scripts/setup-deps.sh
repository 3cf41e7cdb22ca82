#!/bin/sh
# Installs the Debian packages PinDrift needs to build, run and test, when any is missing, then
# puts go-ios (for iOS 17 and later) into the cache folder the build takes it from.
set -eu
# usbmuxd is only recommended by libimobiledevice-utils, and nothing reaches a phone without it.
packages="cmake ninja-build g++ make pkg-config qt6-base-dev qt6-base-dev-tools qt6-svg-dev \
libgl-dev libgeographiclib-dev libimobiledevice-utils usbmuxd psmisc locales iproute2 \
fonts-dejavu-core fonts-noto-color-emoji"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
# Any npm will do for fetching go-ios; Debian's only when there is none.
command -v npm >/dev/null 2>&1 || missing="$missing npm"
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
fi
"$(dirname "$0")/fetch-go-ios.sh" >/dev/null
