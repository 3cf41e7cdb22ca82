#!/bin/sh
# Lays out a copy of PinDrift whose tool folder holds the simulated device kit instead of the
# real device tools, attaches a simulated iOS 17 iPhone, and starts the program. Needs no
# phone and no password. DEMO_PHONES=2 plugs in a second phone, on iOS 16.7, as well.
#
#   [DEMO_PHONES=1|2] scripts/demo.sh [--layout-only] [build folder]
set -eu
phones=${DEMO_PHONES:-1}
case "$phones" in
    1 | 2) ;;
    *)
        echo "DEMO_PHONES must be 1 or 2, not '$phones'" >&2
        exit 2
        ;;
esac
second_udid=00008101-000E2D4A1B3C5F01
second_name="Second iPhone"
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
# Controls the simulated phones: attach [--udid U] [--ios V], detach, show, journal, fault ...
exec "$(cd "$demo" && pwd)/simdevice" --state "$(cd "$tools" && pwd)/simdevice-state" "\$@"
SCRIPT
chmod 755 "$demo/device"

"$demo/device" detach
"$demo/device" attach --ios 17.4.1
if [ "$phones" = 2 ]; then
    "$demo/device" attach --udid "$second_udid" --ios 16.7 --product iPhone14,5 \
        --name "$second_name"
fi
$layout_only && exit 0
# pymobiledevice3 reaches iOS 17.0 to 17.3 through its tunnel daemon, which needs administrator
# rights: start the simulated one now, as if they had been given, so that no prompt is needed.
SIMDEVICE_ADMIN=1 "$tools/pymobiledevice3" remote tunneld -d || true
trap '"$demo/device" stop-tunnel; "$demo/device" stop-agent' EXIT INT TERM

if [ "$phones" = 2 ]; then
    attached="two simulated iPhones are attached: one on iOS 17.4.1 and
\"$second_name\" ($second_udid) on iOS 16.7."
else
    attached="a simulated iPhone on iOS 17.4.1 is attached."
fi
cat <<TEXT
PinDrift demo: $attached
In another terminal you can:
  $demo/device show       what the device was told (its location)
  $demo/device journal    every command it received
  $demo/device track      every location it was given, with the time (routes)
  $demo/device detach     pull the cable out (of every phone)
  $demo/device attach --ios 16.7   plug in an older iPhone
  $demo/device attach --udid U --ios V --name N   plug in another phone beside it
                                   (DEMO_PHONES=2 make demo starts with two)
  show, journal, track, detach, condition and kill-holder take --udid U for one phone
  $demo/device chain go-ios        use go-ios instead of pymobiledevice3
  $demo/device condition locked    lock the iPhone (also untrusted, no-image, none, ...)
  $demo/device kill-holder         kill what holds the location, as a crash would
  $demo/device stop-agent          end go-ios's tunnel agent (stop-tunnel: tunneld)
  $demo/device fault pymobiledevice3:set slow 30000   a set that never confirms
TEXT
"$demo/bin/pindrift"
