#!/bin/sh
# Lays out a copy of PinDrift whose tool folder holds the simulated device kit instead of the
# real device tools, attaches a simulated iOS 17 iPhone, and starts the program. Needs no
# phone and no password.
#
#   scripts/demo.sh [--layout-only] [build folder]
set -eu
layout_only=false
if [ "${1:-}" = "--layout-only" ]; then
    layout_only=true
    shift
fi
build=${1:-build}
demo="$build/demo"
case "$(uname -m)" in
    aarch64 | arm64) arch=silicon ;;
    *) arch=intel ;;
esac
tools="$demo/share/pindrift/tool_extras/halvard_scripts/$arch"
state="$tools/simdevice-state"

rm -rf "$demo"
mkdir -p "$demo/bin" "$tools"
# A copy, not a link: the program looks for its tools beside its own real location.
cp "$build/pindrift" "$demo/bin/pindrift"
cp "$build/simdevice" "$demo/simdevice"
"$demo/simdevice" install "$tools"

# The kit's control command, for a second terminal.
cat > "$demo/device" <<SCRIPT
#!/bin/sh
# Controls the simulated device: attach [--ios V], detach, show, journal, fault ...
exec "$(cd "$demo" && pwd)/simdevice" --state "$(cd "$tools" && pwd)/simdevice-state" "\$@"
SCRIPT
chmod 755 "$demo/device"

"$demo/device" detach
"$demo/device" attach --ios 17.4.1
$layout_only && exit 0
# The iOS 17 chain needs the tunnel daemon; start the simulated one now, so no administrator
# prompt is needed.
"$tools/pymobiledevice3" remote tunneld -d || true
trap '"$demo/device" stop-tunnel' EXIT INT TERM

cat <<TEXT
PinDrift demo: a simulated iPhone on iOS 17.4.1 is attached.
In another terminal you can:
  $demo/device show       what the device was told (its location)
  $demo/device journal    every command it received
  $demo/device track      every location it was given, with the time (routes)
  $demo/device detach     pull the cable out
  $demo/device attach --ios 16.7   plug in an older iPhone
TEXT
"$demo/bin/pindrift"
