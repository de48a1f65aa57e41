// nimbrel-sim with the built plug-in, as a user runs it: a client connects to
// the plug-in's port, follows the notifications of a run and checks requests
// against the data the simulator serves (rebuilt here from the same options).
// These tests run inside the private network namespace that ctest is run in.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "protocol/ProtocolTexts.h"
#include "simulator/ScanSetup.h"
#include "tests/simulator/RawNifti.h"
#include "tests/simulator/SimProcess.h"
#include "tests/simulator/TestData.h"
#include "tests/simulator/WireClient.h"

namespace {

using Notification = std::pair<std::string, int>;

std::vector<std::string> simArgs(int port, std::vector<std::string> extra) {
  std::vector<std::string> args{NMB_SIM_EXECUTABLE, "--plugin", NMB_SIM_PLUGIN,
                                "--exit-when-done", "--port",   std::to_string(port)};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// Reads notifications until "PostRunCalled" (included) or a time-out.
std::vector<Notification> notificationsOfRun(WireClient& client, int timeoutMs) {
  std::vector<Notification> seen;
  std::vector<uint8_t> body;
  while (client.receive(body, timeoutMs)) {
    BodyReader reader(body);
    const std::string name = reader.text();
    seen.emplace_back(name, reader.int32());
    if (name == texts::kPostRunCalled) break;
  }
  return seen;
}

std::vector<Notification> expectedNotifications(int volumes, int firstTimePoint) {
  std::vector<Notification> expected;
  for (int v = 0; v < volumes; ++v) {
    expected.emplace_back(texts::kPreStepCalled, firstTimePoint + v);
    expected.emplace_back(texts::kPostStepCalled, firstTimePoint + v);
  }
  expected.emplace_back(texts::kPostRunCalled, firstTimePoint + volumes - 1);
  return expected;
}

std::vector<int> intsAfterName(WireClient& client, const char* name, std::vector<int32_t> args, int count) {
  std::vector<uint8_t> reply;
  EXPECT_TRUE(client.request(name, args, reply)) << name;
  BodyReader reader(reply);
  EXPECT_EQ(reader.text(), name);
  for (size_t i = 0; i < args.size(); ++i) reader.int32();
  std::vector<int> values;
  for (int i = 0; i < count; ++i) values.push_back(reader.int32());
  EXPECT_FALSE(reader.failed()) << name;
  return values;
}

// The samples of one volume as a whole-volume reply carries them.
std::vector<short> volumeReply(WireClient& client, const char* name, int timePoint, int voxels) {
  std::vector<uint8_t> reply;
  EXPECT_TRUE(client.request(name, {timePoint}, reply)) << name;
  BodyReader reader(reply);
  const std::string echoed = reader.text();
  if (echoed != name) {
    ADD_FAILURE() << name << " answered " << echoed << ": " << reader.text();
    return {};
  }
  EXPECT_EQ(reader.int32(), timePoint);
  std::vector<short> samples;
  for (int i = 0; i < voxels; ++i) samples.push_back(reader.sample());
  EXPECT_FALSE(reader.failed());
  EXPECT_EQ(reader.left(), 0u);
  return samples;
}

}  // namespace

TEST(SimulatorEndToEnd, ClientFollowsASyntheticRunAndReadsTheSimulatorsData) {
  const int port = freeTcpPort();
  const std::vector<std::string> scanOptions{"--dims", "16", "16", "8", "--rois", "2", "--seed", "3"};
  std::vector<std::string> extra{"--volumes",        "10",   "--tr-ms",     "100",
                                 "--start-delay-ms", "2500", "--linger-ms", "4000"};
  extra.insert(extra.end(), scanOptions.begin(), scanOptions.end());
  SimProcess sim(simArgs(port, extra));

  WireClient execute, requests;
  ASSERT_TRUE(execute.connect(port, texts::kExecuteRole, 10000)) << sim.err();
  ASSERT_TRUE(requests.connect(port, texts::kRequestRole, 5000)) << sim.err();
  EXPECT_EQ(notificationsOfRun(execute, 10000), expectedNotifications(10, 1)) << sim.out() << sim.err();

  // The same scan the simulator built from the same options.
  SimOptions options;
  options.dims = Dims{16, 16, 8};
  options.rois = 2;
  options.seed = 3;
  options.volumes = 10;
  options.trMs = 100;
  Scan scan;
  std::string error;
  ASSERT_TRUE(setUpScan(options, scan, error)) << error;
  const int voxels = 16 * 16 * 8;

  EXPECT_EQ(intsAfterName(requests, texts::request::kGetNrOfROIs, {}, 1), std::vector<int>{2});
  EXPECT_EQ(intsAfterName(requests, texts::request::kGetDimsOfFunctionalData, {}, 3),
            (std::vector<int>{16, 16, 8}));
  EXPECT_EQ(intsAfterName(requests, texts::request::kGetCurrentTimePoint, {}, 1), std::vector<int>{10});
  EXPECT_EQ(intsAfterName(requests, texts::request::kGetExpectedNrOfTimePoints, {}, 1), std::vector<int>{10});
  EXPECT_EQ(intsAfterName(requests, texts::request::kGetNrOfVoxelsOfROI, {1}, 1),
            std::vector<int>{static_cast<int>(scan.rois[1].voxels.size())});

  std::vector<short> volume(static_cast<size_t>(voxels));
  for (int t : {0, 4, 9}) {
    SCOPED_TRACE("time point " + std::to_string(t));
    scan.source->volume(0, t, volume.data());
    EXPECT_EQ(volumeReply(requests, texts::request::kGetValueOfAllVoxelsAtTime, t, voxels), volume);
    EXPECT_EQ(volumeReply(requests, texts::request::kGetRawValueOfAllVoxelsAtTime, t, voxels), volume);
  }

  // The ROI mean of the last volume, computed here from the scan's samples.
  double sum = 0.0;
  for (int i : scan.rois[0].indices) sum += volume[static_cast<size_t>(i)];
  std::vector<uint8_t> reply;
  ASSERT_TRUE(requests.request(texts::request::kGetMeanOfROI, {0}, reply));
  BodyReader mean(reply);
  EXPECT_EQ(mean.text(), texts::request::kGetMeanOfROI);
  EXPECT_EQ(mean.int32(), 0);
  EXPECT_NEAR(mean.real(), sum / static_cast<double>(scan.rois[0].indices.size()), 1e-2);

  ASSERT_TRUE(requests.request(texts::request::kGetCurrentClassifierOutput, {}, reply));
  BodyReader classifier(reply);
  EXPECT_EQ(classifier.text(), texts::kWrongRequest);
  EXPECT_EQ(classifier.text(), texts::kClassifierNotUsed);

  EXPECT_EQ(sim.wait(20000), 0) << sim.err();
  EXPECT_TRUE(execute.waitForClose(2000)) << "deleting the plug-in disconnects its clients";
}

TEST(SimulatorEndToEnd, Version30HostCountsTimePointsFromZero) {
  const int port = freeTcpPort();
  SimProcess sim(simArgs(port, {"--version", "3.0.0", "--volumes", "5", "--tr-ms", "100", "--start-delay-ms",
                                "2500", "--linger-ms", "3000", "--dims", "8", "8", "4", "--rois", "1"}));
  WireClient execute, requests;
  ASSERT_TRUE(execute.connect(port, texts::kExecuteRole, 10000)) << sim.err();
  ASSERT_TRUE(requests.connect(port, texts::kRequestRole, 5000)) << sim.err();
  EXPECT_EQ(notificationsOfRun(execute, 10000), expectedNotifications(5, 0)) << sim.out() << sim.err();

  SimOptions options;
  options.dims = Dims{8, 8, 4};
  options.rois = 1;
  options.volumes = 5;
  options.trMs = 100;
  Scan scan;
  std::string error;
  ASSERT_TRUE(setUpScan(options, scan, error)) << error;
  // The plug-in copied volume tp at each pre-step; time point 4 was the last.
  std::vector<short> volume(8 * 8 * 4);
  scan.source->volume(0, 3, volume.data());
  EXPECT_EQ(volumeReply(requests, texts::request::kGetRawValueOfAllVoxelsAtTime, 3, 8 * 8 * 4), volume);
  EXPECT_EQ(sim.wait(20000), 0) << sim.err();
}

TEST(SimulatorEndToEnd, CtrlCEndsTheRunWithItsPostRunAndUnloadsThePlugin) {
  const int port = freeTcpPort();
  SimProcess sim(simArgs(
      port, {"--volumes", "1000", "--tr-ms", "50", "--start-delay-ms", "1500", "--dims", "8", "8", "4"}));
  WireClient execute;
  ASSERT_TRUE(execute.connect(port, texts::kExecuteRole, 10000)) << sim.err();
  std::vector<uint8_t> body;
  int lastPost = 0;
  while (lastPost < 3 && execute.receive(body, 5000)) {
    BodyReader reader(body);
    if (reader.text() == texts::kPostStepCalled) lastPost = reader.int32();
  }
  ASSERT_GE(lastPost, 3) << sim.err();
  sim.signal(SIGINT);
  const std::vector<Notification> rest = notificationsOfRun(execute, 5000);
  ASSERT_FALSE(rest.empty());
  EXPECT_EQ(rest.back().first, texts::kPostRunCalled);
  EXPECT_LT(rest.back().second, 1000) << "the run ended early";
  EXPECT_TRUE(execute.waitForClose(5000));
  EXPECT_EQ(sim.wait(10000), 130) << sim.err();
  EXPECT_NE(sim.err().find("interrupt"), std::string::npos) << sim.err();
}

TEST(SimulatorEndToEnd, ReplaysFunctionalNiiAndServesItsSamples) {
  SKIP_WITHOUT_FUNCTIONAL_NII();
  RawNifti raw;
  ASSERT_TRUE(readRawNifti(kFunctionalNii, raw));
  const int port = freeTcpPort();
  SimProcess sim(simArgs(
      port, {"--nifti", kFunctionalNii, "--tr-ms", "50", "--start-delay-ms", "2500", "--linger-ms", "4000"}));
  WireClient execute, requests;
  ASSERT_TRUE(execute.connect(port, texts::kExecuteRole, 10000)) << sim.err();
  ASSERT_TRUE(requests.connect(port, texts::kRequestRole, 5000)) << sim.err();
  EXPECT_EQ(notificationsOfRun(execute, 10000), expectedNotifications(20, 1)) << sim.out() << sim.err();

  EXPECT_EQ(intsAfterName(requests, texts::request::kGetDimsOfFunctionalData, {}, 3),
            (std::vector<int>{17, 21, 3}));
  EXPECT_EQ(intsAfterName(requests, texts::request::kGetExpectedNrOfTimePoints, {}, 1), std::vector<int>{20});
  const int voxels = 17 * 21 * 3;
  for (int t : {0, 7, 19}) {
    SCOPED_TRACE("volume " + std::to_string(t));
    const std::vector<short> expected(raw.samples.begin() + t * voxels,
                                      raw.samples.begin() + (t + 1) * voxels);
    EXPECT_EQ(volumeReply(requests, texts::request::kGetRawValueOfAllVoxelsAtTime, t, voxels), expected);
    EXPECT_EQ(volumeReply(requests, texts::request::kGetValueOfAllVoxelsAtTime, t, voxels), expected);
  }
  EXPECT_EQ(sim.wait(20000), 0) << sim.err();
}

TEST(SimulatorEndToEnd, SettingsTriedForARunApplyBesideThePluginAndGoWithTheSimulator) {
  // A plug-in folder of the test's own: the settings copy must not reach the
  // plug-in that other tests load meanwhile.
  const std::filesystem::path folder = testing::TempDir() + "sim-settings-" + std::to_string(getpid());
  std::filesystem::create_directories(folder);
  const std::filesystem::path plugin = folder / std::filesystem::path(NMB_SIM_PLUGIN).filename();
  std::filesystem::copy_file(NMB_SIM_PLUGIN, plugin, std::filesystem::copy_options::overwrite_existing);
  const std::string settings = (folder / "lab.ini").string();
  std::ofstream(settings) << "allow = 127.0.0.2\nnonsense\n";

  const int port = freeTcpPort();
  SimProcess sim({NMB_SIM_EXECUTABLE, "--plugin", plugin.string(), "--settings", settings, "--port",
                  std::to_string(port), "--volumes", "2", "--tr-ms", "100", "--dims", "4", "4", "2",
                  "--start-delay-ms", "200", "--linger-ms", "6000"});
  const std::string refusal = "Refused a client from 127.0.0.1";
  WireClient refused;
  for (int waited = 0; waited < 10000 && sim.out().find(refusal) == std::string::npos; waited += 200)
    EXPECT_FALSE(refused.connect(port, texts::kRequestRole, 200)) << "no handshake answer for 127.0.0.1";
  EXPECT_EQ(sim.wait(30000), 0) << sim.err();
  EXPECT_NE(sim.out().find(refusal), std::string::npos) << sim.out();
  EXPECT_NE(sim.out().find("NMBNetworkPlugin.ini line 2: \"nonsense\" is not a setting"), std::string::npos)
      << sim.out();
  EXPECT_NE(sim.out().find("Client rules from " + (folder / "NMBNetworkPlugin.ini").string()),
            std::string::npos)
      << sim.out();
  EXPECT_FALSE(std::filesystem::exists(folder / "NMBNetworkPlugin.ini"))
      << "the copy goes with the simulator";

  // A settings file that is not the simulator's own copy stays untouched.
  std::ofstream(folder / "NMBNetworkPlugin.ini") << "allow = 127.0.0.1\n";
  SimProcess refusedToStart({NMB_SIM_EXECUTABLE, "--plugin", plugin.string(), "--settings", settings});
  EXPECT_EQ(refusedToStart.wait(20000), 2);
  EXPECT_NE(refusedToStart.err().find("exists already and is left alone"), std::string::npos)
      << refusedToStart.err();
  std::filesystem::remove_all(folder);
}

TEST(SimulatorEndToEnd, SpikedAndShiftedVolumesAndOnlyThemDifferAsTheConsoleSays) {
  const int port = freeTcpPort();
  const std::vector<std::string> scan{"--dims", "8", "5", "3", "--rois", "1", "--seed", "4"};
  std::vector<std::string> extra{
      "--volumes", "16",          "--tr-ms", "50",       "--start-delay-ms",
      "2500",      "--linger-ms", "4000",    "--faults", "spike=0.3:-8%,shift=0.3:3,seed=2"};
  extra.insert(extra.end(), scan.begin(), scan.end());
  SimProcess sim(simArgs(port, extra));
  WireClient execute, requests;
  ASSERT_TRUE(execute.connect(port, texts::kExecuteRole, 10000)) << sim.err();
  ASSERT_TRUE(requests.connect(port, texts::kRequestRole, 5000)) << sim.err();
  ASSERT_EQ(notificationsOfRun(execute, 10000).size(), 33u) << sim.err();

  SimOptions options;
  options.dims = Dims{8, 5, 3};
  options.rois = 1;
  options.seed = 4;
  options.volumes = 16;
  options.trMs = 50;
  Scan clean;
  std::string error;
  ASSERT_TRUE(setUpScan(options, clean, error)) << error;
  const std::string console = sim.err();
  auto told = [&console](int volume, const std::string& what) {
    return console.find("fault: volume " + std::to_string(volume) + " " + what) != std::string::npos;
  };
  std::vector<short> volume(8 * 5 * 3);
  int spiked = 0, shifted = 0, untouched = 0;
  for (int t = 0; t < 16; ++t) {
    SCOPED_TRACE("volume " + std::to_string(t + 1));
    const bool spike = told(t + 1, "spiked: every value -8 % (a global jump)");
    const bool shift = told(t + 1, "shifted by 3 voxels along x");
    clean.source->volume(0, t, volume.data());
    std::vector<short> expected(volume.size());
    for (int i = 0; i < static_cast<int>(volume.size()); ++i) {
      const int x = i % 8, from = shift ? i - x + (x + 8 - 3) % 8 : i;
      const double v = volume[static_cast<size_t>(from)];
      expected[static_cast<size_t>(i)] = static_cast<short>(spike ? std::lround(v * 0.92) : v);
    }
    EXPECT_EQ(volumeReply(requests, texts::request::kGetRawValueOfAllVoxelsAtTime, t, 8 * 5 * 3), expected);
    spiked += spike;
    shifted += shift;
    untouched += !spike && !shift;
  }
  EXPECT_TRUE(spiked > 0 && shifted > 0 && untouched > 0) << "the seed must give each kind:\n" << console;
  EXPECT_EQ(sim.wait(20000), 0) << sim.err();
  EXPECT_NE(sim.err().find("faults: 0 dropped, 0 repeated, 0 late, " + std::to_string(spiked) + " spiked"),
            std::string::npos)
      << sim.err();
}
