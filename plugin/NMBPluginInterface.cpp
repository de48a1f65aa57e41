#include "plugin/NMBPluginInterface.h"

NMBPluginInterface::NMBPluginInterface() = default;

NMBPluginInterface::NMBPluginInterface(const NMBPluginInterface&) {}

NMBPluginInterface::~NMBPluginInterface() = default;  // virtual or not: see the header

NMBPluginInterface& NMBPluginInterface::operator=(const NMBPluginInterface&) { return *this; }
