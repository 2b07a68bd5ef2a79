#!/usr/bin/env bash
# Measures what the running window costs the machine: the real program on a
# virtual X server with simulated meters (one unless told), first before Start (idle), then
# streaming (Start pressed: 10 samples a second), several runs. Prints the
# share of one core the program used, from /proc/<pid>/stat, and its
# resident set size, from /proc/<pid>/status. Run it by hand on a quiet
# machine; it is a measurement, not a test.
#
#   scripts/window-cost.sh [--runs N] [--seconds S] [--program PATH | --floor | --wine EXE]
#                          [--meters N] [--bench] [--shots DIR]
#
#   --runs N        runs, each a fresh program and X server (default 5)
#   --seconds S     length of each phase (default 60)
#   --program PATH  measure this zelmora binary instead of building one
#   --floor         measure the yardstick instead (bench/WindowFloor.cpp):
#                   a bare Qt window doing only what the program's window
#                   must do per sample, three texts and a new graph image
#   --wine EXE      measure this Windows zelmora.exe under Wine (64-bit):
#                   the program's process, and Wine's server apart
#   --meters N      list N simulated meters instead of one (the main window
#                   streams the first)
#   --bench         open the bench view beside the window (zelmora --bench),
#                   which polls every meter listed: idle is then the view
#                   alone, streaming the view and the main window
#   --shots DIR     keep a screenshot of each phase's end (needs ImageMagick)
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

runs=5
seconds=60
program=
floor=
wine_exe=
shots=
meters=1
bench_view=
while [ $# -gt 0 ]; do
    case "$1" in
        --runs) runs=$2; shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        --program) program=$(realpath "$2"); shift 2 ;;
        --floor) floor=1; shift ;;
        --wine) wine_exe=$(realpath "$2"); shift 2 ;;
        --shots) shots=$(realpath -m "$2"); shift 2 ;;
        --meters) meters=$2; shift 2 ;;
        --bench) bench_view=1; shift ;;
        *) echo "window-cost.sh: unknown option '$1'" >&2; exit 2 ;;
    esac
done

"$top/scripts/bootstrap.sh"
if [ -n "$wine_exe" ]; then
    program=$wine_exe
    export WINEPREFIX="$top/build/wine-cost" WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
    # The first start makes the prefix; not within a measured phase.
    DISPLAY= /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
    # A server started without a display would keep the windows off it.
    /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
elif [ -n "$floor" ] || [ -z "$program" ]; then
    build="$top/build/run"
    target=zelmora
    bench=OFF
    program="$build/bin/zelmora"
    if [ -n "$floor" ]; then
        target=window_floor
        bench=ON
        program="$build/bench/window_floor"
    fi
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELMORA_BUILD_TESTS=OFF \
        "-DZELMORA_BUILD_BENCH=$bench" >/dev/null
    cmake --build "$build" -j "$(nproc)" --target "$target" >/dev/null
fi
[ -z "$shots" ] || mkdir -p "$shots"

ticks_per_second=$(getconf CLK_TCK)
xvfb_pid=
program_pid=
cleanup() {
    [ -z "$program_pid" ] || kill "$program_pid" 2>/dev/null || true
    [ -z "$wine_exe" ] || /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
    program_pid=
    xvfb_pid=
}
trap cleanup EXIT

# CPU time (user + system) of a process in clock ticks; the fields after the
# command name, which ends at the last ')'.
cpu_ticks() {
    local stat
    stat=$(<"/proc/$1/stat")
    stat=${stat##*) }
    local fields
    read -ra fields <<<"$stat"
    echo $((fields[11] + fields[12]))
}

rss_mb() {
    awk '/^VmRSS:/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status"
}

now() { date +%s.%N; }

# The share of one core the program uses over one phase, in per cent; with
# Wine, Wine's server's share after it.
measure() {
    local ticks0 ticks1 server0=0 server1=0 t0 t1
    ticks0=$(cpu_ticks "$program_pid")
    [ -z "$server_pid" ] || server0=$(cpu_ticks "$server_pid")
    t0=$(now)
    sleep "$seconds"
    ticks1=$(cpu_ticks "$program_pid")
    [ -z "$server_pid" ] || server1=$(cpu_ticks "$server_pid")
    t1=$(now)
    awk -v d=$((ticks1 - ticks0)) -v hz="$ticks_per_second" -v t0="$t0" -v t1="$t1" \
        'BEGIN { printf "%.2f", 100 * d / hz / (t1 - t0) }'
    [ -z "$server_pid" ] || awk -v d=$((server1 - server0)) -v hz="$ticks_per_second" \
        -v t0="$t0" -v t1="$t1" 'BEGIN { printf " %.2f", 100 * d / hz / (t1 - t0) }'
}

# Presses Start. The dialog is laid out in dialog units: x scales by the
# average character width / 4, y by the character height / 8, under the
# menu bar. The client is 448 × 218 units, so the width gives the first;
# the largest character height that leaves room for a menu bar gives the
# second (one pixel more of it makes the client 27 pixels taller). Start
# is at (7, 26), 28 × 14.
press_start() {
    local window=$1 WINDOW WIDTH HEIGHT X Y SCREEN
    eval "$(xdotool getwindowgeometry --shell "$window")"
    local cx=$((WIDTH / 112)) cy=$((8 * HEIGHT / 218))
    while [ "$cy" -gt 1 ] && [ $((HEIGHT - 218 * cy / 8)) -lt 10 ]; do
        cy=$((cy - 1))
    done
    local menu=$((HEIGHT - 218 * cy / 8))
    xdotool mousemove --window "$window" $((21 * cx / 4)) $((menu + 33 * cy / 8)) click 1
}

shot() {
    [ -n "$shots" ] || return 0
    DISPLAY=$display import -window root "$shots/$1.png"
}

arguments=("--simulate=$meters")
[ -z "$bench_view" ] || arguments+=(--bench)
echo "program: $program ${arguments[*]}"
echo "phases of ${seconds}s, ${runs} runs; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
idle_all=()
streaming_all=()
for run in $(seq 1 "$runs"); do
    number=90
    while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do
        number=$((number + 1))
    done
    display=":$number"
    Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 1 100); do
        [ -e "/tmp/.X11-unix/X$number" ] && break
        sleep 0.1
    done

    # From its own folder, as the program is started (the Help menu opens
    # the manuals from there).
    if [ -n "$wine_exe" ]; then
        (cd "$(dirname "$program")" && DISPLAY=$display exec /usr/lib/wine/wine64 "$program" \
            "${arguments[@]}" >/dev/null 2>&1) &
    else
        (cd "$(dirname "$program")" && DISPLAY=$display QT_QPA_PLATFORM=xcb exec "$program" \
            "${arguments[@]}" >/dev/null 2>&1) &
    fi
    program_pid=$!
    window=$(DISPLAY=$display timeout 60 xdotool search --sync --name "Meter" | head -1)
    view=
    if [ -n "$bench_view" ]; then
        # The view below the main window, off its Start button (Wine's
        # windows stay where they are: there the main window is raised to
        # take the press, and the view after it).
        view=$(DISPLAY=$display timeout 60 xdotool search --sync --name "bench view" | head -1)
        DISPLAY=$display xdotool windowmove "$window" 0 0 windowmove "$view" 0 430 \
            windowsize "$view" 960 340
    fi
    server_pid=
    if [ -n "$wine_exe" ]; then
        # The Windows process is a process of its own under Wine, which
        # names it on its windows.
        program_pid=$(DISPLAY=$display xdotool getwindowpid "$window" 2>/dev/null ||
            pgrep -nx zelmora.exe)
        server_pid=$(pgrep -nx 'wineserver(64)?')
    fi
    sleep 3

    read -r idle idle_server <<<"$(measure)"
    idle_rss=$(rss_mb "$program_pid")
    shot "run$run-idle"
    [ -z "$view" ] || DISPLAY=$display xdotool windowraise "$window"
    DISPLAY=$display press_start "$window"
    [ -z "$view" ] || DISPLAY=$display xdotool windowraise "$view"
    sleep 3
    read -r streaming streaming_server <<<"$(measure)"
    streaming_rss=$(rss_mb "$program_pid")
    shot "run$run-streaming"
    cleanup

    printf 'run %d: idle %5s %% of a core, RSS %s MB; streaming %5s %% of a core, RSS %s MB\n' \
        "$run" "$idle" "$idle_rss" "$streaming" "$streaming_rss"
    [ -z "$server_pid" ] ||
        printf "       Wine's server: idle %5s %%, streaming %5s %%\n" "$idle_server" "$streaming_server"
    idle_all+=("$idle")
    streaming_all+=("$streaming")
done

summary() {
    printf '%s\n' "${@:2}" | sort -n | awk -v name="$1" '
        { v[NR] = $1; sum += $1 }
        END { printf "%-9s min %.2f  median %.2f  max %.2f  mean %.2f (%% of a core)\n",
                     name, v[1], v[int((NR + 1) / 2)], v[NR], sum / NR }'
}
summary idle "${idle_all[@]}"
summary streaming "${streaming_all[@]}"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
