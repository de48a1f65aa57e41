#include "simulator/PluginLibrary.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#ifndef NMB_SIM_BUILT_PLUGIN
#define NMB_SIM_BUILT_PLUGIN ""
#endif

namespace {

constexpr char kLibraryFile[] = "libNMBNetworkPlugin.so";

bool isFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

std::unique_ptr<PluginLibrary> PluginLibrary::load(const std::string& path, std::string& error) {
  if (!isFile(path)) {
    error = "plug-in library " + path + " does not exist (build it, or give its path with --plugin)";
    return nullptr;
  }
  // RTLD_LOCAL: the plug-in's own symbols must not satisfy anybody else's
  // lookups; it finds the host functions in the program's global scope.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    error = "cannot load plug-in library " + path + ": " + (reason ? reason : "unknown reason");
    return nullptr;
  }
  std::unique_ptr<PluginLibrary> library(new PluginLibrary());
  library->path_ = path;
  library->handle_ = handle;
  struct Entry {
    const char* name;
    void** slot;
  } entries[] = {
      {"getAuthor", reinterpret_cast<void**>(&library->author_)},
      {"getHelpFile", reinterpret_cast<void**>(&library->helpFile_)},
      {"getPluginDescription", reinterpret_cast<void**>(&library->description_)},
      {"getPluginName", reinterpret_cast<void**>(&library->name_)},
      {"getPluginVersion", reinterpret_cast<void**>(&library->version_)},
      {"createPlugin", reinterpret_cast<void**>(&library->create_)},
  };
  for (const Entry& entry : entries) {
    *entry.slot = dlsym(handle, entry.name);
    if (*entry.slot == nullptr) {
      error = path + " is not a Nimbrel plug-in: it does not export the entry point " + entry.name;
      return nullptr;  // the destructor unloads it
    }
  }
  return library;
}

PluginLibrary::~PluginLibrary() {
  if (handle_ != nullptr) dlclose(handle_);
}

std::string PluginLibrary::text(PluginTextFunction f) {
  const char* value = f ? f() : nullptr;
  return value ? value : "";
}

std::string executableFolder() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return ".";
  std::string path(buffer, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

std::string defaultPluginPath(const std::string& folder) {
  const std::string candidates[] = {folder + "/" + kLibraryFile, folder + "/../" + kLibraryFile};
  for (const std::string& candidate : candidates) {
    char resolved[PATH_MAX];
    if (isFile(candidate)) return realpath(candidate.c_str(), resolved) ? resolved : candidate;
  }
  const std::string built = NMB_SIM_BUILT_PLUGIN;
  return built.empty() ? candidates[0] : built;
}
