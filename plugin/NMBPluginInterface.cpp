// Out of line, so that the library defines and exports the interface's
// members, virtual table and type information in one place, as a host that
// uses the class expects (see exports.map).
#include "plugin/NMBPluginInterface.h"

NMBPluginInterface::NMBPluginInterface() = default;

NMBPluginInterface::NMBPluginInterface(const NMBPluginInterface&) {}

NMBPluginInterface::~NMBPluginInterface() = default;  // virtual or not: see the header

NMBPluginInterface& NMBPluginInterface::operator=(const NMBPluginInterface&) { return *this; }
