#!/bin/sh
# The Windows simulator (NMB_WINDOWS_SIMULATOR, a Nimbrel.exe) under Wine, with
# the arguments given: stands in for nimbrel-sim wherever a test starts a host.
exec "$(dirname "$0")/wine.sh" run "${NMB_WINDOWS_SIMULATOR:?}" "$@"
