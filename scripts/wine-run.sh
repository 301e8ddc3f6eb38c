#!/usr/bin/env bash
# Runs one Windows program under Wine, headless, in the Wine prefix
# WINEPREFIX (scripts/test.sh gives each build its own, under the build
# directory). ctest uses it as the emulator of the Windows build.
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY
WINE=${WINE:-$(command -v wine64 || echo /usr/lib/wine/wine64)}
exec "$WINE" "$@"
