// Where nimbrel-sim looks for the plug-in when --plugin is not given.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "simulator/PluginLibrary.h"
#include "simulator/platform/System.h"

namespace fs = std::filesystem;

TEST(DefaultPluginPath, TakesTheFirstLayoutThatHoldsThePlugin) {
  const fs::path base = fs::path(testing::TempDir()) / ("plugin-path-" + std::to_string(getpid()));
  const std::string file = simsys::pluginLibraryFileName();
  // The executable is in base/bin; each layout in the order they are tried.
  const struct {
    const char* name;
    fs::path plugin;
  } layouts[] = {
      {"Nimbrel's plugins folder", base / "bin" / "plugins" / file},
      {"beside the executable", base / "bin" / file},
      {"the build tree's parent folder", base / file},
      {"an install's library folder", base / "bin" / NMB_SIM_INSTALLED_PLUGIN_FOLDER / file},
  };
  fs::remove_all(base);
  fs::create_directories(base / "bin");
  // Placed from the last to the first: each one placed is the one found.
  for (int i = 3; i >= 0; --i) {
    SCOPED_TRACE(layouts[i].name);
    fs::create_directories(layouts[i].plugin.parent_path());
    std::ofstream(layouts[i].plugin).put('x');
    EXPECT_EQ(fs::path(defaultPluginPath((base / "bin").string())), fs::weakly_canonical(layouts[i].plugin));
  }
  fs::remove_all(base);
}
