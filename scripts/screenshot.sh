#!/usr/bin/env bash
# Renders a picture of the running window with simulated meters streaming,
# on a virtual X server, for the README.
#
#   scripts/screenshot.sh [output.png]      default: docs/screenshot.png
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
output=$(realpath -m "${1:-$top/docs/screenshot.png}")

"$top/scripts/bootstrap.sh"

build="$top/build/run"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELMORA_BUILD_TESTS=OFF \
    -DZELMORA_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target zelmora_screenshot

# The picture is taken after a few seconds of streaming; the time-out only
# guards against a server that never comes up.
QT_QPA_PLATFORM=xcb timeout 120 xvfb-run -a -s "-screen 0 1280x800x24 -dpi 96" \
    "$build/src/app/zelmora_screenshot" "$output" 6
echo "screenshot: $output"
