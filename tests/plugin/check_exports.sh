#!/bin/sh
# The plug-in library must export its entry points under their plain names and
# nothing from Qt or any host.
set -eu
library=$1
defined=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
fail=0
for name in createPlugin getAuthor getHelpFile getPluginDescription getPluginName getPluginVersion; do
  echo "$defined" | grep -qx "$name" || { echo "missing plain export: $name"; fail=1; }
done
demangled=$(nm -DC --defined-only "$library" | cut -d' ' -f3-)
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
