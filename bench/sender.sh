#!/bin/sh
# Builds portsend, the server and the sender benchmark in Release and prints
# the figures.
#   bench/sender.sh [build directory] [runs]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build-bench"}
runs=${2:-200}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLORVANE_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target sender_bench portsend Lorvane >/dev/null
"$build/bench/sender_bench" "$runs"
