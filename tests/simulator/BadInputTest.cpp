// nimbrel-sim given bad input: each case a clear message and a non-zero exit,
// never a crash (a crash shows as a status of 128 or more); also a taken port
// and the --client command's ending.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

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
  const std::string junk = testing::TempDir() + "not-nifti-" + std::to_string(getpid()) + ".nii";
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
                  "--tr-ms", "10", "--dims", "4", "4", "2", "--exit-when-done"});
  EXPECT_EQ(sim.wait(20000), 0) << sim.err();
  EXPECT_NE(sim.out().find("canceled"), std::string::npos) << sim.out();
}

TEST(SimulatorClientCommand, StartsOnceThePluginServesAndIsStoppedAfterItsGracePeriod) {
  const std::string marker = testing::TempDir() + "client-started-" + std::to_string(getpid());
  std::remove(marker.c_str());
  SimProcess sim({NMB_SIM_EXECUTABLE, "--plugin", NMB_SIM_PLUGIN, "--port", std::to_string(freeTcpPort()),
                  "--volumes", "3", "--tr-ms", "100", "--dims", "4", "4", "2", "--exit-when-done", "--client",
                  "touch " + marker + "; sleep 60"});
  EXPECT_EQ(sim.wait(30000), 0) << sim.err();
  EXPECT_TRUE(std::ifstream(marker).good()) << sim.err();
  EXPECT_NE(sim.err().find("client command did not end within the grace period and was stopped"),
            std::string::npos)
      << sim.err();
  std::remove(marker.c_str());
}

TEST(SimulatorClientCommand, TheSimulatorEndsWithAClientThatEndsByItselfAndFailsWithIt) {
  // Without --exit-when-done the host serves after its runs until the client
  // is done, and reports the client's own status.  The command imports the
  // client package without installing it: status 1 if it could not.
  SimProcess sim({NMB_SIM_EXECUTABLE, "--plugin", NMB_SIM_PLUGIN, "--port", std::to_string(freeTcpPort()),
                  "--volumes", "3", "--tr-ms", "100", "--dims", "4", "4", "2", "--client",
                  "python3 -c 'import nmbclient' && sleep 1.5 && exit 5"});
  EXPECT_EQ(sim.wait(30000), 4) << sim.err();
  EXPECT_NE(sim.err().find("client command ended with status 5"), std::string::npos) << sim.err();

  SimProcess fine({NMB_SIM_EXECUTABLE, "--plugin", NMB_SIM_PLUGIN, "--port", std::to_string(freeTcpPort()),
                   "--volumes", "2", "--tr-ms", "50", "--dims", "4", "4", "2", "--client", "true"});
  EXPECT_EQ(fine.wait(30000), 0) << fine.err();
}

TEST(SimulatorServing, KeepsServingAfterItsRunsUntilCtrlC) {
  SimProcess sim({NMB_SIM_EXECUTABLE, "--plugin", NMB_SIM_PLUGIN, "--port", std::to_string(freeTcpPort()),
                  "--volumes", "3", "--tr-ms", "50", "--dims", "4", "4", "2"});
  for (int waited = 0; waited < 20000 && sim.err().find("keeps serving") == std::string::npos; waited += 50)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_NE(sim.err().find("runs finished; the plug-in keeps serving on port"), std::string::npos)
      << sim.err();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_TRUE(sim.running()) << "the host ended after its runs";
  EXPECT_EQ(sim.out().find("Plugin completed processing."), sim.out().rfind("Plugin completed processing."));
  sim.signal(SIGINT);
  EXPECT_EQ(sim.wait(20000), 0) << sim.err();
  EXPECT_NE(sim.err().find("done"), std::string::npos) << sim.err();
}

TEST(SimulatorPortClash, ASecondHostOnATakenPortSaysSoAndEndsWithStatus3) {
  const int port = freeTcpPort();
  SimProcess first({NMB_SIM_EXECUTABLE, "--plugin", NMB_SIM_PLUGIN, "--port", std::to_string(port),
                    "--volumes", "40", "--tr-ms", "100", "--dims", "4", "4", "2", "--exit-when-done"});
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  SimProcess second({NMB_SIM_EXECUTABLE, "--plugin", NMB_SIM_PLUGIN, "--port", std::to_string(port),
                     "--volumes", "3", "--tr-ms", "100", "--dims", "4", "4", "2", "--exit-when-done"});
  EXPECT_EQ(second.wait(20000), 3) << second.err();
  EXPECT_NE(second.out().find("Error - Cannot listen on port " + std::to_string(port) + ": "),
            std::string::npos)
      << second.out();
  EXPECT_NE(second.err().find("THE PLUG-IN IS NOT LISTENING"), std::string::npos) << second.err();
  // One story: no claim to listen, nothing said to be served.
  EXPECT_EQ(second.out().find("Listening on"), std::string::npos) << second.out();
  EXPECT_EQ(second.err().find("serving"), std::string::npos) << second.err();
  EXPECT_EQ(first.out().find("Error"), std::string::npos) << first.out();
  EXPECT_NE(first.out().find("Listening on port: " + std::to_string(port)), std::string::npos) << first.out();
  first.signal(SIGINT);
  first.wait(20000);
}
