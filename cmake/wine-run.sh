#!/bin/sh
# Runs a Windows program under Wine, quietly and without a display, in the
# prefix that WINEPREFIX names (the test run makes a throwaway one).
#   wine-run.sh program.exe args...   run a program
#   wine-run.sh --create-prefix       make a fresh prefix, replacing any old one
#   wine-run.sh --stop-prefix         stop the prefix's server (and its programs)
set -eu
wine="${TANDREL_WINE:-/usr/lib/wine/wine64}"
wineserver="${TANDREL_WINESERVER:-/usr/lib/wine/wineserver}"
if [ -z "${WINEPREFIX:-}" ]; then
    echo "wine-run.sh: WINEPREFIX is not set; refusing to use the user's own prefix" >&2
    exit 2
fi
export WINEPREFIX
export WINEDEBUG=-all
# No Mono or Gecko installers, no window: nothing here needs a display.
export WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=
unset WAYLAND_DISPLAY

case "${1:-}" in
--create-prefix)
    "$wineserver" -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    "$wine" wineboot -i >/dev/null 2>&1
    # A Japanese locale, in which Wine's programs take code page 932, for the
    # cases about double-byte names (needs Debian's locales data; optional).
    mkdir -p "$WINEPREFIX/locale"
    localedef -i ja_JP -f UTF-8 "$WINEPREFIX/locale/ja_JP.UTF-8" >/dev/null 2>&1 || true
    # wineboot returns before the registry reaches the disk; wait for it.
    "$wineserver" -w
    test -f "$WINEPREFIX/system.reg"
    ;;
--stop-prefix)
    "$wineserver" -k 2>/dev/null || true
    ;;
*)
    exec "$wine" "$@"
    ;;
esac
