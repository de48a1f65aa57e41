#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "plugin/HostFunctions.h"
#include "plugin/TcpIpExport.h"
#include "plugin/platform/HostModule.h"
#include "tests/support/FakeHost.h"

namespace {

// The entries of the table as untyped addresses, in binding order.
std::vector<void*> tableEntries() {
  std::vector<void*> entries;
#define NMB_TEST_COLLECT(name, type) entries.push_back(reinterpret_cast<void*>(hostFunctions.name));
  NMB_HOST_FUNCTIONS(NMB_TEST_COLLECT)
#undef NMB_TEST_COLLECT
  return entries;
}

void clearTable() { hostFunctions = HostFunctions(); }

// A host module that lacks the names in `missing` and records the lookups.
struct PartialHost {
  std::set<std::string> missing;
  std::vector<std::string> lookups;
};

void* partialLookup(const char* name, void* context) {
  auto* host = static_cast<PartialHost*>(context);
  host->lookups.emplace_back(name);
  if (host->missing.count(name)) return nullptr;
  return platform::findExportedFunction(platform::findHostModule(), name);
}

}  // namespace

TEST(HostBinding, TableListsTheFunctionsInBindingOrder) {
  EXPECT_STREQ(kHostFunctionNames[0], "tGetVersionOfNMB");
  EXPECT_STREQ(kHostFunctionNames[6], "tGetIntegerInput");
  EXPECT_STREQ(kHostFunctionNames[31], "tGetTimeCourseData");
  EXPECT_STREQ(kHostFunctionNames[44], "tGetCurrentClassifierOutput");
  EXPECT_EQ(tableEntries().size(), 45u);
  EXPECT_EQ(sizeof(HostFunctions), 45 * sizeof(void*));
}

TEST(HostBinding, HostExportingAllNamesFillsEveryEntry) {
  clearTable();
  FakeHost::reset();
  TcpIpExport plugin;
  ASSERT_TRUE(plugin.initPlugin());
  std::vector<void*> entries = tableEntries();
  for (int i = 0; i < kHostFunctionCount; ++i) {
    SCOPED_TRACE(kHostFunctionNames[i]);
    EXPECT_NE(entries[static_cast<size_t>(i)], nullptr);
  }
  // The entries are the host's own functions, the twelve never called included.
  EXPECT_EQ(reinterpret_cast<void*>(hostFunctions.tGetPluginMaps),
            platform::findExportedFunction(platform::findHostModule(), "tGetPluginMaps"));
  hostFunctions.tGetNrOfROIs();
  EXPECT_EQ(FakeHost::calls("tGetNrOfROIs"), 1);
}

TEST(HostBinding, NoHostModuleFailsAndLeavesTheTableUnchanged) {
  clearTable();
  PartialHost host;
  EXPECT_FALSE(bindHostFunctionsWith(false, partialLookup, &host));
  EXPECT_TRUE(host.lookups.empty());
  for (void* entry : tableEntries()) EXPECT_EQ(entry, nullptr);
}

TEST(HostBinding, HostWithoutVersionFunctionFailsAndLeavesTheTableUnchanged) {
  clearTable();
  ASSERT_TRUE(bindHostFunctions());
  const std::vector<void*> before = tableEntries();
  PartialHost host;
  host.missing = {"tGetVersionOfNMB"};
  EXPECT_FALSE(bindHostFunctionsWith(true, partialLookup, &host));
  EXPECT_EQ(host.lookups, std::vector<std::string>{"tGetVersionOfNMB"});
  EXPECT_EQ(tableEntries(), before);
}

TEST(HostBinding, HostMissingOtherNamesStillBindsWithThoseEntriesNull) {
  clearTable();
  PartialHost host;
  host.missing = {"tGetBetaMaps", "tYesNoMessageBox", "tGetCurrentClassifierOutput"};
  EXPECT_TRUE(bindHostFunctionsWith(true, partialLookup, &host));
  EXPECT_EQ(hostFunctions.tGetBetaMaps, nullptr);
  EXPECT_EQ(hostFunctions.tYesNoMessageBox, nullptr);
  EXPECT_EQ(hostFunctions.tGetCurrentClassifierOutput, nullptr);
  EXPECT_NE(hostFunctions.tGetContrastMaps, nullptr);
  // Every name is looked up once, the version first, the others in table order.
  ASSERT_EQ(host.lookups.size(), 45u);
  for (int i = 0; i < kHostFunctionCount; ++i) EXPECT_EQ(host.lookups[static_cast<size_t>(i)], kHostFunctionNames[i]);
}

TEST(HostBinding, BindingAgainReplacesEveryEntry) {
  clearTable();
  PartialHost host;
  host.missing = {"tGetNrOfROIs"};
  ASSERT_TRUE(bindHostFunctionsWith(true, partialLookup, &host));
  EXPECT_EQ(hostFunctions.tGetNrOfROIs, nullptr);
  ASSERT_TRUE(bindHostFunctions());
  EXPECT_NE(hostFunctions.tGetNrOfROIs, nullptr);
}

struct VersionCase {
  int major, minor, subversion;
  bool accepted;
};

TEST(HostBinding, InitPluginAcceptsHostsFromVersionThreeOn) {
  const VersionCase cases[] = {
      {3, 0, 0, true}, {4, 0, 0, true}, {3, 1, 0, true}, {3, 0, 7, true}, {4, -1, -1, true},
      {2, 9, 9, false}, {3, -1, 5, false}, {3, 0, -1, false}, {0, 0, 0, false}, {2, 99, 99, false},
  };
  for (const VersionCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor) + "." + std::to_string(c.subversion));
    FakeHost::reset();
    FakeHost::state().versionMajor = c.major;
    FakeHost::state().versionMinor = c.minor;
    FakeHost::state().versionSubversion = c.subversion;
    TcpIpExport plugin;
    EXPECT_EQ(plugin.initPlugin(), c.accepted);
    if (c.accepted) {
      EXPECT_TRUE(FakeHost::state().messageBoxes.empty());
    } else {
      EXPECT_EQ(FakeHost::state().messageBoxes,
                std::vector<std::string>{"Can not execute this plugin - Nimbrel version 3.0 or higher required."});
    }
    EXPECT_EQ(FakeHost::calls("tGetNMBPath"), 1);
  }
}
