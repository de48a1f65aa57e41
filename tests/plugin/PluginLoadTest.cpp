// Does what Nimbrel does: loads the built plug-in library with the platform
// loader, checks its identity exports and drives the object through the
// interface.  This executable is the host: it exports the fake host functions.
#include <gtest/gtest.h>

#include <dlfcn.h>

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
