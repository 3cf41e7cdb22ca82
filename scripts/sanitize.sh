#!/bin/sh
# The tests once more, built with clang under AddressSanitizer and UndefinedBehaviorSanitizer.
# Reports go to files as well, so that one from a child process (the simulated device's tools,
# the program started by the install test) is not lost in a tool's output. The soak is left out:
# its memory figures mean nothing under AddressSanitizer's quarantine. Needs clang and
# libclang-rt-14-dev; about 12 minutes on two cores.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
san="$root/build-sanitize"
cmake -S . -B "$san" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_COMPILER=clang++ \
    "-DCMAKE_CXX_FLAGS=-O1 -gline-tables-only" -DPINDRIFT_SANITIZE=ON
cmake --build "$san" -j "$jobs"
reports="$san/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:log_path=$reports/asan"
export LSAN_OPTIONS="suppressions=$root/.ci/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
status=0
(cd "$san" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$jobs" -E '^tst_soak$') \
    || status=$?
if [ -n "$(ls -A "$reports")" ]; then
    cat "$reports"/*
    echo "sanitizer reports: $(ls "$reports" | wc -l)"
    status=1
fi
unset ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS
exit "$status"

