// POSIX implementation of the host module lookup: the host is the program that
// loaded the plug-in, and its exported functions are found in the process's
// global symbol scope.
#include "plugin/platform/HostModule.h"

#include <dlfcn.h>

namespace platform {

ModuleHandle findHostModule() {
  // The main program is always loaded; RTLD_NOLOAD only hands out its handle.
  return dlopen(nullptr, RTLD_LAZY | RTLD_NOLOAD);
}

void* findExportedFunction(ModuleHandle module, const char* name) {
  if (module == nullptr) return nullptr;
  return dlsym(module, name);
}

bool addLibraryDirectory(const char*) {
  // The dynamic loader's search path is fixed at process start; a host that
  // needs its own folder searched sets it up itself (rpath or LD_LIBRARY_PATH).
  return false;
}

}  // namespace platform
