#!/bin/sh
# A deployed folder holds its program (default NMBNetworkPlugin.dll) and every
# library it loads that Windows itself does not provide, checked through the
# import tables of the program and, recursively, of each library found there.
#   check_deploy.sh FOLDER [PROGRAM]
set -eu
folder=$1
start=${2:-NMBNetworkPlugin.dll}
[ -f "$folder/$start" ] || { echo "no $start in $folder"; exit 1; }
imports() {
  x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p'
}
# Libraries that come with Windows (the C runtime and the system API sets).
is_system() {
  case "$(echo "$1" | tr 'A-Z' 'a-z')" in
    kernel32.dll | user32.dll | advapi32.dll | ws2_32.dll | shell32.dll | ole32.dll | mpr.dll | \
      netapi32.dll | userenv.dll | version.dll | winmm.dll | iphlpapi.dll | dnsapi.dll | crypt32.dll | \
      secur32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*) return 0 ;;
  esac
  return 1
}
fail=0
seen=""
pending="$start"
while [ -n "$pending" ]; do
  set -- $pending
  current=$1
  shift
  pending="$*"
  case " $seen " in *" $current "*) continue ;; esac
  seen="$seen $current"
  for needed in $(imports "$folder/$current"); do
    is_system "$needed" && continue
    if [ -f "$folder/$needed" ]; then
      pending="$pending $needed"
    else
      echo "$current needs $needed, which is not in $folder"
      fail=1
    fi
  done
done
[ $fail -eq 0 ] && echo "deploy complete:$seen"
exit $fail
