#!/usr/bin/env bash
# Renders pictures of the running window with simulated meters streaming,
# on a virtual X server, for the README: the Qt window on Linux and the
# native window of the Windows program under Wine.
#
#   scripts/screenshot.sh                      both, into docs/
#   scripts/screenshot.sh linux [output.png]   default: docs/screenshot.png
#   scripts/screenshot.sh windows [output.png] default: docs/screenshot-windows.png
#   scripts/screenshot.sh bench [output.png]   default: docs/screenshot-bench.png
#                                              (the Qt bench view)
#   scripts/screenshot.sh windows-bench [output.png]
#                        default: docs/screenshot-bench-windows.png
#                        (the Windows program's bench view, under Wine)
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

"$top/scripts/bootstrap.sh"

build="$top/build/run"
configure_native() {
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELMORA_BUILD_TESTS=OFF \
        -DZELMORA_BUILD_BENCH=OFF >/dev/null
}

shot_linux() {
    local output
    output=$(realpath -m "${1:-$top/docs/screenshot.png}")
    configure_native
    cmake --build "$build" -j "$(nproc)" --target zelmora_screenshot
    # The picture is taken after a few seconds of streaming; the time-out
    # only guards against a server that never comes up.
    QT_QPA_PLATFORM=xcb timeout 120 xvfb-run -a -s "-screen 0 1280x800x24 -dpi 96" \
        "$build/src/app/zelmora_screenshot" "$output" 6
    echo "screenshot: $output"
}

shot_bench() {
    local output
    output=$(realpath -m "${1:-$top/docs/screenshot-bench.png}")
    configure_native
    cmake --build "$build" -j "$(nproc)" --target zelmora_screenshot
    QT_QPA_PLATFORM=xcb timeout 120 xvfb-run -a -s "-screen 0 1280x800x24 -dpi 96" \
        "$build/src/app/zelmora_screenshot" "$output" 6 --bench
    echo "screenshot: $output"
}

# shot_windows OUTPUT DESKTOP [--bench]: the main window, or the bench view,
# in a Wine desktop of the given size.
shot_windows() {
    local output=$1 desktop_size=$2 which=${3:-}
    # The native tree lends the cross build its Qt tools.
    configure_native
    cmake --build "$build" -j "$(nproc)" --target zelmora_make_manual zelmora_make_win32_images
    local cross="$top/build/run-windows64"
    cmake -S "$top" -B "$cross" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        "-DCMAKE_TOOLCHAIN_FILE=$top/cmake/mingw-w64-x86_64.cmake" -DZELMORA_BUILD_APP=OFF \
        -DZELMORA_BUILD_BENCH=OFF "-DZELMORA_HOST_TOOLS=$build" >/dev/null
    cmake --build "$cross" -j "$(nproc)" --target zelmora zelmora_window_check
    # In a Wine desktop of its own, which draws the window's frame as
    # Windows does; the check program starts Start and reports where the
    # window is, the picture is cut from the desktop, then it closes.
    timeout 180 "$top/scripts/wine-window.sh" --command bash -c '
        set -euo pipefail
        work=$(mktemp -d)
        trap "rm -rf \"$work\"" EXIT
        /usr/lib/wine/wine64 explorer "/desktop=Zelmora,$4" "$1" "--program=$2" --shot=6 \
            "--rect-file=$work/rect" "--done-file=$work/done" ${5:+"$5"} &
        for _ in $(seq 600); do [ -s "$work/rect" ] && break; sleep 0.2; done
        desktop=$(xwininfo -root -tree | awk "/Wine desktop/ {print \$1; exit}")
        import -window "$desktop" -crop "$(tr -d "\r\n" < "$work/rect")" +repage "$3"
        touch "$work/done"
        wait
    ' _ "$cross/tests/win32/zelmora_window_check.exe" "$cross/bin/zelmora.exe" "$output" \
        "$desktop_size" "$which"
    echo "screenshot: $output"
}

case "${1:-both}" in
    linux) shot_linux "${2:-}" ;;
    windows) shot_windows "$(realpath -m "${2:-$top/docs/screenshot-windows.png}")" 960x540 ;;
    bench) shot_bench "${2:-}" ;;
    windows-bench)
        shot_windows "$(realpath -m "${2:-$top/docs/screenshot-bench-windows.png}")" 1280x720 --bench
        ;;
    both)
        shot_linux
        shot_windows "$top/docs/screenshot-windows.png" 960x540
        ;;
    *)
        echo "usage: scripts/screenshot.sh [linux|windows|bench|windows-bench [output.png]]" >&2
        exit 2
        ;;
esac
