#!/usr/bin/env bash
# Runs a 64-bit Windows program under Wine, headless, in a Wine prefix of
# its own (ZELMORA_WINEPREFIX, by default build/wine beside this checkout).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${ZELMORA_WINEPREFIX:-$top/build/wine}
export WINEDEBUG=-all
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export DISPLAY=
exec /usr/lib/wine/wine64 "$@"
