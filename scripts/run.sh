#!/usr/bin/env bash
# Builds the program and starts it with the real meters that are plugged in
# and one simulated meter after them, so there is always one to read.
#
#   scripts/run.sh                   real meters and one simulated meter
#   scripts/run.sh --simulate=3      three simulated, of the families KV, RM, ZN
#
# The program starts from its own folder, where the operation manuals lie
# (the Help menu opens them from the current folder).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

"$top/scripts/bootstrap.sh"

build="$top/build/run"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELMORA_BUILD_TESTS=OFF \
    -DZELMORA_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target zelmora zelmora_manuals

cd "$build/bin"
exec ./zelmora --simulate --real "$@"
