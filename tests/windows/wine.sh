#!/bin/sh
# Runs Windows programs under Wine for the test suite, with one Wine server per
# test run that lives in the caller's network namespace.
#
#   wine.sh setup              a fresh Wine prefix for this run (NMB_WINEPREFIX)
#   wine.sh cleanup            ends its Wine server and removes the prefix
#   wine.sh run PROGRAM ARGS   runs PROGRAM (a .exe) under Wine in that prefix
#
# Wine's own messages are off; NMB_WINEDEBUG sets WINEDEBUG instead when a run
# has to be looked into (e.g. NMB_WINEDEBUG=trace+winsock for every socket call).
#
# Wine keeps every socket in its server process, so the server must be started
# inside the private network namespace the tests run in: a server started
# elsewhere would hold the plug-in's sockets (and send its broadcasts) outside
# it.  The prefix is made anew by every run and its server is ended with it, so
# no server of another namespace can be reused; `setup` refuses to run outside
# a namespace whose only interface is loopback.
set -eu
: "${NMB_WINEPREFIX:?set NMB_WINEPREFIX to the test run's Wine prefix}"
export WINEPREFIX="$NMB_WINEPREFIX" WINEDEBUG=${NMB_WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
# No display: Wine programs here are console programs.
unset DISPLAY WAYLAND_DISPLAY

# Debian's `wine` wrapper only picks the 64-bit loader (and warns about the
# missing 32-bit one); call the loader itself where it is.
wine=wine
[ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64

# /sys/class/net shows the namespace sysfs was mounted in; ip asks the kernel
# about this process's own.
only_loopback() {
  [ "$(ip -o link show 2>/dev/null | awk -F': ' '{print $2}')" = lo ]
}

case "${1:-}" in
  setup)
    if ! only_loopback; then
      echo "wine.sh: not in a private network namespace with only loopback; refusing to start a Wine server" >&2
      exit 1
    fi
    [ -d "$WINEPREFIX" ] && { wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"; }
    mkdir -p "$(dirname "$WINEPREFIX")"
    "$wine" wineboot -i >/dev/null 2>&1
    wineserver -w
    echo "Wine prefix ready: $WINEPREFIX"
    ;;
  cleanup)
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    ;;
  run)
    shift
    [ -d "$WINEPREFIX" ] || { echo "wine.sh: no prefix at $WINEPREFIX (run setup first)" >&2; exit 1; }
    exec "$wine" "$@"
    ;;
  *)
    sed -n '2,14p' "$0" >&2
    exit 2
    ;;
esac
