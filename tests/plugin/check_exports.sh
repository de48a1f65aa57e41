#!/bin/sh
# The plug-in library must export its entry points under their plain names and
# nothing from Qt or any host.  Takes the Linux library (read with nm) or the
# Windows DLL (its export table, read with the MinGW objdump).
set -eu
library=$1
case "$library" in
  *.dll)
    defined=$(x86_64-w64-mingw32-objdump -p "$library" |
      sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort)
    ;;
  *)
    defined=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
    ;;
esac
[ -n "$defined" ] || { echo "no exports found in $library"; exit 1; }
fail=0
for name in createPlugin getAuthor getHelpFile getPluginDescription getPluginName getPluginVersion; do
  echo "$defined" | grep -qx "$name" || { echo "missing plain export: $name"; fail=1; }
done
demangled=$(echo "$defined" | c++filt)
for member in "NMBPluginInterface::operator=" "vtable for NMBPluginInterface" \
  "TcpIpExport::TcpIpExport(QObject\*)" "TcpIpExport::~TcpIpExport()" "TcpIpExport::initPlugin()" \
  "TcpIpExport::executePreRun(unsigned short)" "TcpIpExport::executePreStep()" \
  "TcpIpExport::executePostStep()" "TcpIpExport::executePostRun()"; do
  echo "$demangled" | grep -q "^$member" || { echo "missing class export: $member"; fail=1; }
done
unexpected=$(echo "$demangled" | grep -v -e '^NMBPluginInterface' -e '^TcpIpExport::' \
  -e 'for NMBPluginInterface$' -e '^createPlugin$' -e '^get[A-Za-z]*$' || true)
if [ -n "$unexpected" ]; then
  echo "unexpected exports:"; echo "$unexpected"; fail=1
fi
[ $fail -eq 0 ] && echo "exports ok: $(echo "$defined" | wc -l) symbols"
exit $fail
