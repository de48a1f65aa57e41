#include "plugin/HostFunctions.h"

#include <cstring>

#include "plugin/platform/HostModule.h"

HostFunctions hostFunctions;

const char* const kHostFunctionNames[kHostFunctionCount] = {
#define NMB_HOST_FUNCTION_NAME(name, type) #name,
    NMB_HOST_FUNCTIONS(NMB_HOST_FUNCTION_NAME)
#undef NMB_HOST_FUNCTION_NAME
};

namespace {

void* lookupInHostModule(const char* name, void* module) {
  return platform::findExportedFunction(static_cast<platform::ModuleHandle>(module), name);
}

template <typename Entry>
void store(Entry*& entry, void* address) {
  entry = reinterpret_cast<Entry*>(address);
}

}  // namespace

bool bindHostFunctions() {
  platform::ModuleHandle module = platform::findHostModule();
  return bindHostFunctionsWith(module != nullptr, lookupInHostModule, module);
}

bool bindHostFunctionsWith(bool moduleFound, HostSymbolLookup lookup, void* context) {
  if (!moduleFound) return false;
  // The version function identifies the host; without it nothing is bound.
  void* version = lookup("tGetVersionOfNMB", context);
  if (version == nullptr) return false;
  store(hostFunctions.tGetVersionOfNMB, version);
  // The other 44 in table order, each stored as it comes, null or not.
#define NMB_BIND_HOST_FUNCTION(name, type) \
  if (std::strcmp(#name, "tGetVersionOfNMB") != 0) store(hostFunctions.name, lookup(#name, context));
  NMB_HOST_FUNCTIONS(NMB_BIND_HOST_FUNCTION)
#undef NMB_BIND_HOST_FUNCTION
  return true;
}
