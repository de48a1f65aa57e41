// PluginLibrary: the plug-in shared library, loaded by path (dlopen, LoadLibrary).
//
// Loading checks the five identity entry points and createPlugin before
// anything is called.  The library is unloaded by the destructor, which the
// owner runs only after the plug-in object has been deleted.
#pragma once

#include <memory>
#include <string>

#include "plugin/PluginEntryPoints.h"

class PluginLibrary {
 public:
  // Null with `error` set when the file is missing, is not a loadable library,
  // or lacks one of the six entry points.
  static std::unique_ptr<PluginLibrary> load(const std::string& path, std::string& error);
  ~PluginLibrary();

  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  const std::string& path() const { return path_; }
  std::string author() const { return text(author_); }
  std::string helpFile() const { return text(helpFile_); }
  std::string description() const { return text(description_); }
  std::string name() const { return text(name_); }
  std::string version() const { return text(version_); }
  CreatePluginFunction createPlugin() const { return create_; }

 private:
  PluginLibrary() = default;
  static std::string text(PluginTextFunction f);

  std::string path_;
  void* handle_ = nullptr;  // simsys::LibraryHandle
  PluginTextFunction author_ = nullptr, helpFile_ = nullptr, description_ = nullptr, name_ = nullptr,
                     version_ = nullptr;
  CreatePluginFunction create_ = nullptr;
};

// Where the plug-in is looked for when --plugin is not given: in the plugins
// folder beside the executable (Nimbrel's layout, and the Windows build's),
// beside it, then in its parent folder (the build tree), then where
// `cmake --install` puts it relative to the executable (bin/../lib), then the
// path the build recorded.  Returns the first that exists, else the recorded
// path.
std::string defaultPluginPath(const std::string& executableFolder);

// The folder of the running executable.
std::string executableFolder();

// The folder that holds `path`, made absolute.
std::string folderOf(const std::string& path);
