#!/usr/bin/env bash
# The Windows installer, installed and removed silently under Wine as an
# IT department deploys it (msiexec /i|/x FILE /qn), in a Wine prefix of
# its own on a virtual X server:
#
#   installer-check.sh PACKAGE VERSION OLDER_PACKAGE WINDOW_CHECK WORK_DIR [PACKAGE_32]
#
# The older version installs; this one replaces it (one product left, of
# this version, zelmora-cli.exe beside the program and running); the older
# one is then refused; the Start-menu entry starts the program in its
# folder; the 32-bit package, where given, installs beside it into
# folders, a Start-menu entry and an uninstall entry of its own, and goes
# without touching the 64-bit one; uninstalling leaves no file, folder,
# shortcut or registry entry behind.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

if [ "${1:-}" != --inside ]; then
    work=$5
    mkdir -p "$work"
    export ZELMORA_WINE_X_PREFIX=${ZELMORA_WINE_MSI_PREFIX:-$work/wine}
    # Wine's menu builder would copy every Start-menu entry into the
    # desktop's menus of the user running the test.
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    exec "$top/scripts/wine-window.sh" --command "${BASH_SOURCE[0]}" --inside "$@"
fi
shift
package=$1
version=$2
older=$3
window_check=$4
package32=${6:-}

wine=/usr/lib/wine/wine64
drive_c="$WINEPREFIX/drive_c"
# The uninstall entries of 64-bit and of 32-bit products.
uninstall_keys=('HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
    'HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall')
failures=0

fail() {
    echo "installer-check: FAILED: $*" >&2
    failures=$((failures + 1))
}
say() { echo "installer-check: $*"; }

windows_path() { printf 'Z:%s' "${1//\//\\}"; }

msiexec() {
    "$wine" msiexec "$@" /qn >/dev/null 2>&1
}

# Every installed product named Zelmora..., one line each:
# "<product code>|<name>|<version>".
products() {
    local key
    for key in "${uninstall_keys[@]}"; do
        "$wine" reg query "$key" /s 2>/dev/null || true
    done | tr -d '\r' | awk '
        function flush() { if (name ~ /^Zelmora/) print code "|" name "|" version }
        /^HKEY/ { flush(); n = split($0, part, "\\"); code = part[n]; name = ""; version = "" }
        /^ +DisplayName +REG_SZ/ { sub(/^ +DisplayName +REG_SZ +/, ""); name = $0 }
        /^ +DisplayVersion +REG_SZ/ { sub(/^ +DisplayVersion +REG_SZ +/, ""); version = $0 }
        END { flush() }'
}

# The Start-menu entries of a product, wherever this system keeps the
# Start menu of every user (or, as Wine does, of the installing user).
shortcuts() {
    find "$drive_c" -path "*/Start Menu/Programs/$1/$1.lnk" 2>/dev/null
}

expect_products() {
    local want=$1 what=$2 got
    # By name, whatever order the product codes (new on every build) give.
    got=$(products | cut -d'|' -f2,3 | LC_ALL=C sort | tr '\n' ' ')
    [ "$got" = "$want" ] || fail "$what: installed products '$got', expected '$want'"
}

# A run that stopped half-way leaves its products: they go first.
for code in $(products | cut -d'|' -f1); do
    msiexec /x "$code" || true
done

say "the older version"
msiexec /i "$older" || fail "the older package did not install (status $?)"
expect_products "Zelmora|0.9.0 " "after the older package"

say "this version over it"
msiexec /i "$package" || fail "this package did not install over the older one (status $?)"
expect_products "Zelmora|$version " "after the upgrade"
for file in zelmora.exe zelmora-cli.exe "Operation Manual_Eng.pdf" "Operation Manual_Chs.pdf"; do
    [ -f "$drive_c/Program Files/Zelmora/$file" ] || fail "Program Files\\Zelmora\\$file is missing"
done
# The installed command-line program runs where the package put it.
cli_version=$("$wine" 'C:\Program Files\Zelmora\zelmora-cli.exe' --version 2>/dev/null | tr -d '\r') ||
    true
[ "$cli_version" = "zelmora-cli $version" ] ||
    fail "the installed zelmora-cli.exe says '$cli_version', expected 'zelmora-cli $version'"
mapfile -t links < <(shortcuts Zelmora)
[ "${#links[@]}" -eq 1 ] || fail "${#links[@]} Start-menu entries Zelmora\\Zelmora.lnk, expected one"

say "the older version refused over this one"
if msiexec /i "$older"; then
    fail "the older package installed over this version"
fi
expect_products "Zelmora|$version " "after the refused downgrade"

if [ "${#links[@]}" -eq 1 ]; then
    say "the program started from its Start-menu entry"
    "$wine" "$window_check" --gtest_brief=1 --gtest_filter='WindowCheck.StartsFromItsShortcut' \
        "--shortcut=$(windows_path "${links[0]}")" '--install-folder=C:\Program Files\Zelmora' ||
        fail "the program did not start from its Start-menu entry"
fi

if [ -n "$package32" ]; then
    say "the 32-bit package beside the 64-bit one"
    msiexec /i "$package32" || fail "the 32-bit package did not install (status $?)"
    expect_products "Zelmora (32-bit)|$version Zelmora|$version " "with both installed"
    [ -f "$drive_c/Program Files (x86)/Zelmora/zelmora.exe" ] ||
        fail "Program Files (x86)\\Zelmora\\zelmora.exe is missing"
    [ "$(shortcuts 'Zelmora (32-bit)' | wc -l)" -eq 1 ] ||
        fail "no Start-menu entry of its own for the 32-bit program"
    msiexec /x "$package32" || fail "the 32-bit package did not uninstall (status $?)"
    expect_products "Zelmora|$version " "after the 32-bit one went"
    [ -f "$drive_c/Program Files/Zelmora/zelmora.exe" ] &&
        [ "$(shortcuts Zelmora | wc -l)" -eq 1 ] ||
        fail "uninstalling the 32-bit program touched the 64-bit one"
fi

say "uninstalled"
msiexec /x "$package" || fail "this package did not uninstall (status $?)"
expect_products "" "after uninstalling"
left=$(find "$drive_c" -ipath '*zelmora*' 2>/dev/null || true)
[ -z "$left" ] || fail "left behind: $left"
for key in 'HKLM\Software\Zelmora' 'HKLM\Software\Wow6432Node\Zelmora'; do
    if "$wine" reg query "$key" >/dev/null 2>&1; then
        fail "left behind: the registry key $key"
    fi
done

if [ "$failures" -gt 0 ]; then
    exit 1
fi
say "passed"
