#!/usr/bin/env bash
# Runs a 64-bit Windows program that opens windows under Wine, on a
# virtual X server of its own, in a Wine prefix kept for such programs
# (ZELMORA_WINE_X_PREFIX, by default build/wine-x beside this checkout).
# The prefix's Wine processes end with the run, as its display does.
#
#   scripts/wine-window.sh program.exe [arguments]
#   scripts/wine-window.sh --command command [arguments]
#       runs a command on that display in that environment instead
#
# ZELMORA_XVFB_SCREEN sets the virtual screen (1280x800x24 unless set).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${ZELMORA_WINE_X_PREFIX:-$top/build/wine-x}
export WINEDEBUG=-all
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    DISPLAY= /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
    # Wine's own faces (Tahoma, Marlett for the caption buttons ...), which
    # this Wine does not find by itself.
    cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    # The system's faces (captions, menus, Tahoma behind "MS Shell Dlg")
    # take the Chinese glyphs they lack from WenQuanYi Micro Hei, as
    # Windows links its own Chinese faces.
    for face in Tahoma 'Tahoma Bold'; do
        DISPLAY= /usr/lib/wine/wine64 reg add \
            'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
            /v "$face" /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f >/dev/null 2>&1
    done
    # There is no window manager on the virtual server: Wine manages the
    # windows itself instead of waiting for one to answer.
    DISPLAY= /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
        >/dev/null 2>&1
    /usr/lib/wine/wineserver -w
fi
status=0
command=(/usr/lib/wine/wine64)
if [ "${1:-}" = --command ]; then
    shift
    command=()
fi
xvfb-run -a -s "-screen 0 ${ZELMORA_XVFB_SCREEN:-1280x800x24} -dpi 96" "${command[@]}" "$@" || status=$?
/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
exit "$status"
