#include "plugin/PluginEntryPoints.h"

#include <cstdio>

#include "plugin/PluginIdentity.h"
#include "plugin/QuietBoundary.h"
#include "plugin/TcpIpExport.h"

namespace {
// Large enough for the formatted name with room to spare.
char pluginNameBuffer[64];
}  // namespace

const char* getAuthor() { return identity::kAuthor; }

const char* getHelpFile() { return identity::kHelpFile; }

const char* getPluginDescription() { return identity::kDescription; }

const char* getPluginName() {
  // Formatted on every call into the library's static buffer, as hosts expect
  // a pointer that stays valid while the library is loaded.
  std::snprintf(pluginNameBuffer, sizeof pluginNameBuffer, identity::kNameFormat, identity::kPluginVersion);
  return pluginNameBuffer;
}

const char* getPluginVersion() { return identity::kPluginVersion; }

// Out of memory, the host gets no plug-in rather than an exception.
NMBPluginInterface* createPlugin() {
  return quietly<NMBPluginInterface*>(nullptr, [] { return new TcpIpExport(nullptr); });
}
