#!/bin/sh
# Installs the Debian packages PinDrift needs to build, run and test, when any is missing.
set -eu
packages="cmake ninja-build g++ make pkg-config qt6-base-dev qt6-base-dev-tools qt6-svg-dev \
libgl-dev libgeographiclib-dev libimobiledevice-utils psmisc locales iproute2 fonts-dejavu-core fonts-noto-color-emoji"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
