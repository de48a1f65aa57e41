#include "plugin/NMBPluginInterface.h"

NMBPluginInterface::NMBPluginInterface() = default;

NMBPluginInterface::NMBPluginInterface(const NMBPluginInterface&) {}

NMBPluginInterface::~NMBPluginInterface() = default;

NMBPluginInterface& NMBPluginInterface::operator=(const NMBPluginInterface&) { return *this; }
