#!/usr/bin/env bash
# Builds and runs every test of the project, as CI does.
#
#   scripts/test.sh                  all stages
#   scripts/test.sh normal asan      only the named stages
#
# Stages: lint (formatting), normal (warnings as errors), asan (address and
# undefined-behaviour sanitizers), tsan (thread sanitizer), windows (the
# Windows program and its packages cross-built, checked under Wine), fuzz
# (libFuzzer, bounded time), package (the Debian package, built and checked
# with lintian and the desktop's validators).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

"$top/scripts/bootstrap.sh"

jobs=$(nproc)
fuzz_seconds=${ZELMORA_FUZZ_SECONDS:-60}
all_stages=(lint normal asan tsan windows fuzz package)
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=("${all_stages[@]}")

# verify_asan_link_order=0: the runtime's check that it comes first among
# the libraries fails now and then at start-up on these machines although
# every program is linked with -fsanitize=address (libasan its first
# library), and that failure is not a finding of ours.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1:verify_asan_link_order=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

banner() { printf '\n==== %s ====\n' "$*"; }

configure_build_test() {
    local name=$1
    shift
    banner "$name: configure and build"
    cmake -S "$top" -B "$top/build/$name" -G Ninja -DZELMORA_WERROR=ON "$@" >/dev/null
    cmake --build "$top/build/$name" -j "$jobs"
    banner "$name: tests"
    ctest --test-dir "$top/build/$name" --output-on-failure -j "$jobs" --timeout 900
}

stage_lint() {
    banner "lint: formatting"
    git ls-files -z -- '*.cpp' '*.h' | xargs -0 -r clang-format --dry-run --Werror
}

stage_normal() { configure_build_test normal -DCMAKE_BUILD_TYPE=RelWithDebInfo; }

stage_asan() {
    configure_build_test asan -DCMAKE_BUILD_TYPE=Debug "-DZELMORA_SANITIZE=address;undefined" \
        -DZELMORA_BUILD_BENCH=OFF
}

stage_tsan() {
    configure_build_test tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELMORA_SANITIZE=thread \
        -DZELMORA_BUILD_BENCH=OFF
}

# The Windows program and its packages, with MinGW-w64: for 32-bit Windows,
# the program's target, built only (there is no 32-bit Wine here; its
# installer is installed by the 64-bit one's check); for 64-bit Windows
# built and checked under Wine: the tests of the plain libraries and of the
# window's logic, the GDI canvas against the recording canvas, the program
# itself driven through window messages on a virtual X server, and its
# installer installed, upgraded and removed by Wine's msiexec. The manuals, the icon and the toolbar image are
# made by the Qt tools of a native build tree, which the cross builds
# import.
stage_windows() {
    local tools="$top/build/windows-tools"
    banner "windows: the native tools"
    cmake -S "$top" -B "$tools" -G Ninja -DZELMORA_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
        -DZELMORA_BUILD_TESTS=OFF -DZELMORA_BUILD_BENCH=OFF >/dev/null
    cmake --build "$tools" -j "$jobs" --target zelmora_make_manual zelmora_make_win32_images
    local name
    for name in windows windows64; do
        local toolchain=mingw-w64-i686
        [ "$name" = windows64 ] && toolchain=mingw-w64-x86_64
        banner "$name: configure and build ($toolchain)"
        # The 64-bit tree's installer check installs the 32-bit package
        # beside its own.
        local other=()
        [ "$name" = windows64 ] && other=("-DZELMORA_WIN32_PACKAGE_DIR=$top/build/windows")
        cmake -S "$top" -B "$top/build/$name" -G Ninja -DZELMORA_WERROR=ON \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_TOOLCHAIN_FILE=$top/cmake/$toolchain.cmake" \
            -DZELMORA_BUILD_APP=OFF -DZELMORA_BUILD_BENCH=OFF "-DZELMORA_HOST_TOOLS=$tools" \
            "${other[@]}" >/dev/null
        cmake --build "$top/build/$name" -j "$jobs"
        ls -l "$top/build/$name"/Zelmora-*.zip "$top/build/$name"/Zelmora-*.msi
    done
    banner "windows64: tests under Wine"
    export ZELMORA_WINEPREFIX="$top/build/wine"
    export ZELMORA_WINE_X_PREFIX="$top/build/wine-x"
    # The first start creates the Wine prefix; do it once, not in every test.
    "$top/scripts/wine-run.sh" wineboot -i >/dev/null 2>&1
    local status=0
    ctest --test-dir "$top/build/windows64" --output-on-failure -j "$jobs" --timeout 300 || status=$?
    WINEPREFIX="$ZELMORA_WINEPREFIX" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
    return "$status"
}

stage_fuzz() {
    local dir="$top/build/fuzz"
    banner "fuzz: build"
    CXX=clang++ cmake -S "$top" -B "$dir" -G Ninja -DZELMORA_WERROR=ON -DZELMORA_FUZZ=ON \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DZELMORA_SANITIZE=address;undefined" \
        -DZELMORA_BUILD_APP=OFF -DZELMORA_BUILD_TESTS=OFF >/dev/null
    cmake --build "$dir" -j "$jobs"
    local harness
    for harness in "$dir"/fuzz/fuzz_*; do
        [ -x "$harness" ] || continue
        local name
        name=$(basename "$harness")
        banner "fuzz: $name for ${fuzz_seconds}s"
        local corpus="$dir/corpus/$name"
        mkdir -p "$corpus"
        local seeds=()
        [ -d "$top/fuzz/seeds/$name" ] && seeds=("$top/fuzz/seeds/$name")
        # A harness's own libFuzzer flags, one per line (fuzz/<name>.options).
        local flags=()
        [ -f "$top/fuzz/$name.options" ] && mapfile -t flags < <(grep -v '^#' "$top/fuzz/$name.options")
        "$harness" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 "${flags[@]}" "$corpus" "${seeds[@]}"
    done
}

# The Debian package, built as Debian builds it (a Release tree of its own,
# without tests) and checked: lintian without errors, the desktop entry and
# the AppStream metadata valid, the contents stripped, hardened and
# documented.
stage_package() { "$top/scripts/package.sh"; }

for stage in "${stages[@]}"; do
    case "$stage" in
        lint | normal | asan | tsan | windows | fuzz | package) "stage_$stage" ;;
        *)
            echo "test.sh: unknown stage '$stage' (known: ${all_stages[*]})" >&2
            exit 2
            ;;
    esac
done
banner "all requested stages passed: ${stages[*]}"
