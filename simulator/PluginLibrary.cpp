#include "simulator/PluginLibrary.h"

#include "simulator/platform/System.h"


#ifndef NMB_SIM_BUILT_PLUGIN
#define NMB_SIM_BUILT_PLUGIN ""
#endif
// The installed plug-in's folder relative to the installed executable's.
#ifndef NMB_SIM_INSTALLED_PLUGIN_FOLDER
#define NMB_SIM_INSTALLED_PLUGIN_FOLDER "../lib"
#endif

std::unique_ptr<PluginLibrary> PluginLibrary::load(const std::string& path, std::string& error) {
  if (!simsys::isFile(path)) {
    error = "plug-in library " + path + " does not exist (build it, or give its path with --plugin)";
    return nullptr;
  }
  std::string reason;
  simsys::LibraryHandle handle = simsys::openLibrary(path, reason);
  if (handle == nullptr) {
    error = "cannot load plug-in library " + path + ": " + reason;
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
    *entry.slot = simsys::librarySymbol(handle, entry.name);
    if (*entry.slot == nullptr) {
      error = path + " is not a Nimbrel plug-in: it does not export the entry point " + entry.name;
      return nullptr;  // the destructor unloads it
    }
  }
  return library;
}

PluginLibrary::~PluginLibrary() {
  simsys::closeLibrary(handle_);
}

std::string PluginLibrary::text(PluginTextFunction f) {
  const char* value = f ? f() : nullptr;
  return value ? value : "";
}

std::string folderOf(const std::string& path) {
  const std::string full = simsys::absolutePath(path);
  const size_t separator = full.find_last_of(simsys::kPathSeparators);
  if (separator == std::string::npos) return ".";
  return separator == 0 ? full.substr(0, 1) : full.substr(0, separator);
}

std::string executableFolder() {
  const std::string path = simsys::executablePath();
  return path.empty() ? "." : folderOf(path);
}

std::string defaultPluginPath(const std::string& folder) {
  const std::string file = simsys::pluginLibraryFileName();
  const std::string candidates[] = {folder + "/plugins/" + file, folder + "/" + file, folder + "/../" + file,
                                     folder + "/" NMB_SIM_INSTALLED_PLUGIN_FOLDER "/" + file};
  for (const std::string& candidate : candidates) {
    if (simsys::isFile(candidate)) return simsys::absolutePath(candidate);
  }
  const std::string built = NMB_SIM_BUILT_PLUGIN;
  return built.empty() ? candidates[0] : built;
}
