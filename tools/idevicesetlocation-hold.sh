#!/bin/sh
# Keeps a simulated location alive for as long as PinDrift needs it.
#
# The stock idevicesetlocation sends the location and exits at once, while PinDrift holds a
# location through a running process and ends it by terminating that process. This wrapper
# runs the stock tool beside it ("idevicesetlocation-stock") with the same arguments. When the
# tool fails, the wrapper exits with its status (its output has already gone to ours). After a
# successful set ("... -- LATITUDE LONGITUDE") it stays until it is terminated, and then exits
# cleanly. Anything else ("reset", "--help") runs and exits.
stock="$(dirname "$0")/idevicesetlocation-stock"
"$stock" "$@"
status=$?
is_set=false
for argument in "$@"; do
    [ "$argument" = "--" ] && is_set=true
done
if [ "$status" -ne 0 ] || ! $is_set; then
    exit "$status"
fi
waiter=""
trap '[ -n "$waiter" ] && kill "$waiter" 2>/dev/null; exit 0' TERM INT HUP
while :; do
    sleep 3600 &
    waiter=$!
    wait "$waiter"
done
