#!/bin/sh
# Steering at the pace with the X server's key repeat on: the real program in a virtual X
# server (Xvfb), against the simulated device, holds the Up key for a while at Walk (5 km/h);
# the figure is the distance the device was moved divided by the pace's distance for that time.
# 1.00 is exact; a program that counted every repeated key as a step would show 15 to 20.
#
#   bench/steering.sh [build folder] [seconds held]      (defaults: build, 10)
#
# Needs Xvfb, xdotool and xset (Debian: xvfb xdotool x11-xserver-utils), no phone, no network.
set -eu
build=${1:-build}
seconds=${2:-10}
for tool in Xvfb xdotool xset python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done
source_dir=$(cd "$(dirname "$0")/.." && pwd)

scratch=$(mktemp -d)
xvfb=
app=
cleanup() {
    [ -n "$app" ] && kill "$app" 2>/dev/null && wait "$app" 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT INT TERM

# A copy of the program whose tools are the simulated device, an iPhone on iOS 16 plugged in
# (no tunnel: the program can run without a network of its own).
cp "$build/pindrift" "$build/simdevice" "$scratch/"
"$source_dir/scripts/demo.sh" --layout-only "$scratch" >/dev/null
device="$scratch/demo/device"
"$device" detach
"$device" attach --ios 16.7

display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
    display=$((display + 1))
done
Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=":$display" QT_QPA_PLATFORM=xcb
for _ in $(seq 50); do xset q >/dev/null 2>&1 && break; sleep 0.1; done
xset r on
xset r rate 660 25 # the X server's own default: repeats after 660 ms, 25 a second
echo "X server key repeat: $(xset q | sed -n 's/.*auto repeat delay: *\([0-9]*\) *repeat rate: *\([0-9]*\).*/delay \1 ms, rate \2 per second/p')"

mkdir -p "$scratch/cache" "$scratch/config" "$scratch/data"
mkdir -m 700 "$scratch/runtime"
export XDG_CACHE_HOME="$scratch/cache" XDG_CONFIG_HOME="$scratch/config"
export XDG_DATA_HOME="$scratch/data" XDG_RUNTIME_DIR="$scratch/runtime"
# Without a network of its own where the system allows it: no map tiles, no IP location.
if unshare -n ip link set lo up 2>/dev/null; then
    unshare -n sh -c 'ip link set lo up && exec "$0"' "$scratch/demo/bin/pindrift" \
        >"$scratch/console.txt" 2>/dev/null &
else
    "$scratch/demo/bin/pindrift" >"$scratch/console.txt" 2>/dev/null &
fi
app=$!

wait_for() { # seconds, then a command that must succeed
    limit=$1
    shift
    for _ in $(seq $((limit * 10))); do "$@" && return 0; sleep 0.1; done
    echo "gave up waiting for: $*" >&2
    exit 1
}
held() { "$device" show | grep -q '^location=[-0-9]'; }
location() { "$device" show | sed -n 's/^location=//p'; }

wait_for 30 grep -q 'Device detected' "$scratch/console.txt"
window=$(xdotool search --sync --name '^PinDrift$' | head -1)
# A click on the map gives it the keyboard (and puts the pin there); Ctrl+L spoofs.
xdotool mousemove --window "$window" 700 450 click 1
sleep 1
xdotool key ctrl+l
wait_for 30 held
sleep 2
before=$(location)
xdotool keydown Up
sleep "$seconds"
xdotool keyup Up
# The device is told where the key let go once it stays released.
sleep 3
after=$(location)
[ -n "${STEERING_TRACK:-}" ] && "$device" track >"$STEERING_TRACK"

python3 - "$before" "$after" "$seconds" <<'PYTHON'
import math, sys
(lat1, lon1), (lat2, lon2) = (map(float, p.split()) for p in sys.argv[1:3])
seconds = float(sys.argv[3])
# On a sphere of the mean radius: a few metres differ from the ellipsoid by far less than 1 %.
r = 6371008.8
p1, p2 = math.radians(lat1), math.radians(lat2)
a = math.sin((p2 - p1) / 2) ** 2 + math.cos(p1) * math.cos(p2) * math.sin(math.radians(lon2 - lon1) / 2) ** 2
moved = 2 * r * math.asin(math.sqrt(a))
pace = 5 / 3.6 * seconds
print(f"Up held {seconds:g} s at Walk (5 km/h): moved {moved:.2f} m of {pace:.2f} m, "
      f"ratio {moved / pace:.3f}")
PYTHON
