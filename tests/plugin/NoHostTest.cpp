#include <gtest/gtest.h>

#include "plugin/HostFunctions.h"
#include "plugin/TcpIpExport.h"

// This executable exports no host functions, like a process without Nimbrel.
TEST(NoHost, InitPluginFailsAndBindsNothing) {
  TcpIpExport plugin;
  EXPECT_FALSE(plugin.initPlugin());
  EXPECT_EQ(hostFunctions.tGetVersionOfNMB, nullptr);
  EXPECT_EQ(hostFunctions.tLogText, nullptr);
  EXPECT_EQ(hostFunctions.tMessageBox, nullptr);
}
