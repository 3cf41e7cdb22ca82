#!/bin/sh
# Runs every benchmark and prints its figures (`make bench` builds them first). Takes about
# seven and a half minutes: the idle measurement needs 60 s of polling, the session 60 s of
# polling after its steps (the two run side by side), the route walk 30 s, the files (a 200 MB
# track written and opened among them) about two minutes, the four phones about 80 s (20 s idle
# and a 30 s route among them), and steering 10 s in a virtual X server. The
# figures depend on the machine and on what else runs on it: for figures to compare, run it on
# a quiet machine.
#
#   bench/run.sh [build folder]
set -u
build=${1:-build}
bench="$build/bench"
for program in bench_startup bench_idle bench_session bench_map bench_route bench_files \
    bench_phones; do
    if [ ! -x "$bench/$program" ]; then
        echo "missing $bench/$program: build the benchmarks first (make bench)" >&2
        exit 1
    fi
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT INT TERM
mkdir -p -m 700 "$scratch/runtime"
export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR="$scratch/runtime"
export XDG_CACHE_HOME="$scratch/cache"
export XDG_CONFIG_HOME="$scratch/config"

status=0
section() { printf '\n== %s\n' "$*"; }

section "machine"
echo "$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), Linux $(uname -r)"
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"

section "1. cold start (bench_startup)"
"$bench/bench_startup" || status=1

section "4. map paint (bench_map)"
"$bench/bench_map" || status=1

section "6. routes (bench_route)"
"$bench/bench_route" || status=1

section "7. files (bench_files)"
"$bench/bench_files" || status=1

section "9. four phones: detection, idle, a route on all four (bench_phones)"
"$bench/bench_phones" || status=1

# The idle instances are only polling; the session starts once they are past their start-up.
"$bench/bench_idle" >"$scratch/idle.txt" 2>&1 &
idle=$!
sleep 8
section "3. and 5. GUI-thread stalls and end-to-end latency (bench_session)"
"$bench/bench_session" || status=1
wait "$idle" || status=1
section "1. and 2. idle CPU and memory of the real executable (bench_idle)"
cat "$scratch/idle.txt"

section "7. steering with the X server's key repeat (bench/steering.sh)"
if command -v Xvfb >/dev/null && command -v xdotool >/dev/null && command -v xset >/dev/null; then
    for _ in 1 2 3; do "$(dirname "$0")/steering.sh" "$build" 10 || status=1; done
else
    echo "skipped: needs Xvfb, xdotool and xset (apt-get install xvfb xdotool x11-xserver-utils)"
fi

section "end"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
