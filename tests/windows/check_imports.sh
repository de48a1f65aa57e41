#!/bin/sh
# Every given Windows program or DLL imports only Windows' own DLLs (the
# system API and the C runtime): nothing a lab would have to copy beside it,
# and nothing a host could already hold under the same name (Nimbrel loads Qt
# DLLs of its own before any plug-in).
#   check_imports.sh FILE...
set -eu
# The DLLs in System32 of every 64-bit Windows, the C runtime among them.
is_windows_own() {
  case "$(echo "$1" | tr 'A-Z' 'a-z')" in
    kernel32.dll | user32.dll | advapi32.dll | ws2_32.dll | shell32.dll | ole32.dll | oleaut32.dll | mpr.dll | \
      netapi32.dll | userenv.dll | version.dll | winmm.dll | iphlpapi.dll | dnsapi.dll | crypt32.dll | \
      secur32.dll | bcrypt.dll | ntdll.dll | shlwapi.dll | winhttp.dll | msvcrt.dll | ucrtbase.dll | \
      api-ms-win-*) return 0 ;;
  esac
  return 1
}
fail=0
for file in "$@"; do
  [ -f "$file" ] || { echo "no such file: $file"; fail=1; continue; }
  imports=$(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p')
  [ -n "$imports" ] || { echo "$file: no import table found"; fail=1; continue; }
  for dll in $imports; do
    is_windows_own "$dll" || { echo "$file imports $dll, which is not one of Windows' own DLLs"; fail=1; }
  done
  [ $fail -eq 0 ] && echo "$(basename "$file"): $(echo $imports)"
done
exit $fail
