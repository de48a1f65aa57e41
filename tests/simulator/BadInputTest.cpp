// nimbrel-sim given bad input: each case a clear message and a non-zero exit,
// never a crash (a crash shows as a status of 128 or more).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/simulator/SimProcess.h"
#include "tests/simulator/TestData.h"

namespace {

struct Case {
  const char* what;
  std::vector<std::string> args;
  int status;
  const char* message;
};

}  // namespace

TEST(SimulatorBadInput, EachFailsWithAMessageAndAStatus) {
  const std::string junk = testing::TempDir() + "not-nifti.nii";
  std::ofstream(junk)
      << "plain text, not an image; long enough to be taken for a header by a careless reader";
  const std::vector<Case> cases = {
      {"missing plug-in file", {"--plugin", "/nonexistent/libNMBNetworkPlugin.so"}, 2, "does not exist"},
      {"library without the entry points", {"--plugin", NMB_SIM_NOT_A_PLUGIN}, 2, "not a Nimbrel plug-in"},
      {"unreadable NIfTI", {"--nifti", junk}, 2, "cannot read NIfTI"},
      {"missing NIfTI", {"--nifti", "/nonexistent/run.nii"}, 2, "cannot open NIfTI"},
      {"ROI outside the volume", {"--roi-box", "0", "0", "0", "64", "10", "10"}, 2, "outside the volume"},
      {"unknown option", {"--frobnicate"}, 2, "unknown option"},
      {"ROI mask on another grid", {"--roi-mask", kFunctionalNii}, 2, "has 17 x 21 x 3 voxels"},
      {"host too old for the plug-in",
       {"--version", "2.9.9", "--port", "40000"},
       1,
       "3.0 or higher required"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.args.back() == kFunctionalNii && !haveFunctionalNii()) continue;
    std::vector<std::string> args{NMB_SIM_EXECUTABLE};
    if (c.args[0] != "--plugin") args.insert(args.end(), {"--plugin", NMB_SIM_PLUGIN});
    args.insert(args.end(), c.args.begin(), c.args.end());
    SimProcess sim(args);
    EXPECT_EQ(sim.wait(20000), c.status) << sim.err();
    EXPECT_NE(sim.err().find(c.message), std::string::npos) << sim.err();
  }
  std::remove(junk.c_str());
}

TEST(SimulatorBadInput, CancelledPortDialogStillRunsTheHostToTheEnd) {
  SimProcess sim({NMB_SIM_EXECUTABLE, "--plugin", NMB_SIM_PLUGIN, "--port", "cancel", "--volumes", "3",
                  "--tr-ms", "10", "--dims", "4", "4", "2"});
  EXPECT_EQ(sim.wait(20000), 0) << sim.err();
  EXPECT_NE(sim.out().find("canceled"), std::string::npos) << sim.out();
}

TEST(SimulatorClientCommand, StartsOnceThePluginServesAndIsStoppedAtTheEnd) {
  const std::string marker = testing::TempDir() + "client-started";
  std::remove(marker.c_str());
  SimProcess sim({NMB_SIM_EXECUTABLE, "--plugin", NMB_SIM_PLUGIN, "--port", std::to_string(freePort()),
                  "--volumes", "3", "--tr-ms", "100", "--dims", "4", "4", "2", "--client",
                  "touch " + marker + "; sleep 60"});
  EXPECT_EQ(sim.wait(20000), 0) << sim.err();
  EXPECT_TRUE(std::ifstream(marker).good()) << sim.err();
  EXPECT_NE(sim.err().find("client command ended with status 143"), std::string::npos) << sim.err();
  std::remove(marker.c_str());
}
