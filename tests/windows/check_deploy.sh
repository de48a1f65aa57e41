#!/bin/sh
# A plug-in folder as a lab receives it holds NMBNetworkPlugin.dll and the
# licence texts of what is linked into it, nothing else; the DLL imports only
# Windows' own DLLs.
#   check_deploy.sh FOLDER
set -eu
folder=$1
here=$(dirname "$0")
fail=0
for entry in "$folder"/* "$folder"/.[!.]*; do
  [ -e "$entry" ] || continue
  case "$(basename "$entry")" in
    NMBNetworkPlugin.dll) ;;
    licenses) [ -n "$(find "$entry" -type f -size +0)" ] || { echo "$entry holds no licence text"; fail=1; } ;;
    *) echo "$folder holds $(basename "$entry"), which a lab does not need"; fail=1 ;;
  esac
done
[ -d "$folder/licenses/Qt" ] || { echo "no Qt licence texts in $folder/licenses"; fail=1; }
"$here/check_imports.sh" "$folder/NMBNetworkPlugin.dll" || fail=1
[ $fail -eq 0 ] && echo "$folder: the DLL and its licence texts"
exit $fail
