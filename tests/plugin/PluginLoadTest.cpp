// Does what Nimbrel does: loads the built plug-in library with the platform
// loader, checks its identity exports and drives the object through the
// interface.  This executable is the host: it exports the fake host functions.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "plugin/PluginEntryPoints.h"
#include "plugin/NMBPluginInterface.h"
#include "tests/support/FakeHost.h"

namespace {

template <typename Function>
Function resolve(void* library, const char* name) {
  return reinterpret_cast<Function>(dlsym(library, name));
}

}  // namespace

TEST(PluginLoad, HostLoadsIdentifiesCreatesAndDeletesThePlugin) {
  FakeHost::reset();
  void* library = dlopen(NMB_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();

  const std::pair<const char*, const char*> identity[] = {
      {"getAuthor", "Quandrel"},
      {"getHelpFile", "TcpIpExportHelp/index.html"},
      {"getPluginDescription",
       "This plugin provides the opportunity to export experiment data through a tcp connection.<br>"},
      {"getPluginName", "Network Plugin - Server 2.00"},
      {"getPluginVersion", "2.00"},
  };
  for (const auto& entry : identity) {
    SCOPED_TRACE(entry.first);
    auto text = resolve<PluginTextFunction>(library, entry.first);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text(), entry.second);
  }

  auto create = resolve<CreatePluginFunction>(library, "createPlugin");
  ASSERT_NE(create, nullptr);
  NMBPluginInterface* plugin = create();
  ASSERT_NE(plugin, nullptr);
  // The library finds this executable's host functions by name.
  EXPECT_TRUE(plugin->initPlugin());
  EXPECT_GE(FakeHost::calls("tGetVersionOfNMB"), 1);
  delete plugin;
  EXPECT_EQ(dlclose(library), 0);
}

TEST(PluginLoad, ThePluginReadsTheSettingsFileBesideItsOwnLibrary) {
  // A plug-in folder of the test's own, as a lab has one beside Nimbrel.
  char folderTemplate[] = "/tmp/nmb-plugin-folder-XXXXXX";
  ASSERT_NE(mkdtemp(folderTemplate), nullptr);
  const std::string folder = folderTemplate;
  const std::string copy = folder + "/libNMBNetworkPlugin.so";
  const std::string settings = folder + "/NMBNetworkPlugin.ini";
  ASSERT_EQ(std::system(("cp '" NMB_PLUGIN_PATH "' '" + copy + "'").c_str()), 0);
  std::ofstream(settings) << "listen = 127.0.0.1\nbroadcast = off\n";

  FakeHost::reset();
  FakeHost::state().integerInput = 0;  // any free port
  void* library = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  NMBPluginInterface* plugin = resolve<CreatePluginFunction>(library, "createPlugin")();
  ASSERT_TRUE(plugin->initPlugin());
  ASSERT_TRUE(plugin->executePreRun(0));
  const std::string expected = "<b>Info</b> - Client rules from " + settings +
                               ": allow <b>every address</b>; listen on <b>127.0.0.1</b>; any number of "
                               "connections per address; broadcast <b>off</b>.";
  const std::vector<std::string> lines = FakeHost::logLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end());
  delete plugin;
  EXPECT_EQ(dlclose(library), 0);
  std::remove(settings.c_str());
  std::remove(copy.c_str());
  rmdir(folder.c_str());
}
