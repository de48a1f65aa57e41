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

std::string ownModuleFolder() {
  // The object that holds this very function: the plug-in library, or the
  // program when the plug-in's code is linked into it.
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ownModuleFolder), &info) == 0 || info.dli_fname == nullptr) return {};
  const std::string path = info.dli_fname;
  const std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace platform
