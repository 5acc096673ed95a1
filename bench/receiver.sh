#!/bin/sh
# Builds portrecv and its benchmark in Release and prints the figures.
#   bench/receiver.sh [build directory] [runs per scenario]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build-bench"}
runs=${2:-100}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLORVANE_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target receiver_bench >/dev/null
"$build/bench/receiver_bench" "$runs"
