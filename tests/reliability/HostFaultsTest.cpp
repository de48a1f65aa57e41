// A host that lacks functions or answers nonsense: every request still gets a
// well-formed reply (data or an error text), and every lifecycle operation
// returns true.  Requests go straight to the executor, with arguments that
// pass the range checks and ones that do not.
#include <gtest/gtest.h>

#include <QDataStream>
#include <QList>
#include <QVariant>
#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "plugin/HostFunctions.h"
#include "plugin/TcpIpExport.h"
#include "protocol/ProtocolTexts.h"
#include "tests/reliability/ServiceLoad.h"
#include "tests/support/FakeHost.h"
#include "tests/support/LoopbackClient.h"

namespace {

const QList<QList<int>> kArgumentSets = {
    {}, {0}, {1, 1}, {0, 0, 0}, {1, 0, 0, 0}, {-1, -1, -1, -1}, {INT_MAX, INT_MAX, INT_MIN, 3}, {2, 3, 0, 1}};

// Fails the test unless `reply` is one whole frame whose first text is the
// request's name or the error marker (followed by a text), or the
// classifier's empty frame.
void expectWellFormed(const QByteArray& reply, const char* name) {
  // The classifier's answer to a state it does not know is the empty frame.
  if (reply == wire::frame(QByteArray()) && QByteArray(name) == texts::request::kGetCurrentClassifierOutput)
    return;
  EXPECT_TRUE(wire::isWellFormedReply(reply, name)) << name << ": " << reply.toHex().constData();
}

// Every request with every argument set, straight to the executor.
void askEverything(TcpIpExport& plugin) {
  for (const char* name : load::requestNames())
    for (const QList<int>& arguments : kArgumentSets)
      expectWellFormed(plugin.executeRequest(wire::request(name, arguments)), name);
}

// A run of `steps` volumes with every request answered after each step.
// `breakHost` runs after the plug-in has bound the host.
void runAndAskEverything(const std::function<void()>& breakHost, int steps = 3) {
  TcpIpExport plugin;
  FakeHost::state().integerInput = freeTcpPort();
  ASSERT_TRUE(plugin.initPlugin());
  const HostFunctions bound = hostFunctions;
  breakHost();
  EXPECT_TRUE(plugin.executePreRun(0));
  for (int t = 0; t < steps; ++t) {
    {
      auto lock = FakeHost::lock();
      ++FakeHost::state().currentTimePoint;
    }
    EXPECT_TRUE(plugin.executePreStep());
    EXPECT_TRUE(plugin.executePostStep());
    askEverything(plugin);
  }
  EXPECT_TRUE(plugin.executePostRun());
  hostFunctions = bound;
}

void normalHost() {
  FakeHost::reset();
  load::installRois(3);
  FakeHost::state().expectedTimePoints = 5;
  FakeHost::state().numberOfClasses = 3;
  FakeHost::state().classifierOutput = {0.5f, 0.25f, 1.0f};
  FakeHost::state().betaMaps.assign(4 * 3, 1.0);
  FakeHost::state().contrastMaps.assign(4, 1.0f);
  FakeHost::fillTimeCourse(6);
  // Time points here reach INT_MAX, which the default formula would overflow.
  FakeHost::state().voxelValue = [](int x, int y, int z, int t) {
    return float(1000.0 * t + 100 * z + 10 * y + x);
  };
}

#define NMB_HOST_FUNCTION_ENTRY(name, type) {#name, [] { hostFunctions.name = nullptr; }},
const std::pair<const char*, void (*)()> kRemovers[] = {NMB_HOST_FUNCTIONS(NMB_HOST_FUNCTION_ENTRY)};
#undef NMB_HOST_FUNCTION_ENTRY

TEST(HostFaults, AHostMissingAnyOneOptionalFunction) {
  int removed = 0;
  for (const auto& [name, remove] : kRemovers) {
    if (std::string(name) == "tGetVersionOfNMB") continue;  // without it the plug-in refuses to start
    SCOPED_TRACE(name);
    normalHost();
    runAndAskEverything(remove, 2);
    ++removed;
  }
  EXPECT_EQ(removed, 44);
}

TEST(HostFaults, NullArraysAndNegativeCounts) {
  normalHost();
  FakeHost::state().nullArrays = true;
  runAndAskEverything([] {});

  normalHost();
  FakeHostState& host = FakeHost::state();
  // The arrays stay those of a 2x2x1 volume; a host whose reported sizes
  // disagree with its own arrays is beyond any caller's help.
  host.dimX = -2;
  host.dimY = 3;
  host.dimZ = 1;
  host.expectedTimePoints = -5;
  host.fullPredictors = host.currentPredictors = host.confoundPredictors = -3;
  host.contrasts = -1;
  host.numberOfClasses = -7;
  runAndAskEverything([] {});
}

// A negative size means no values, also where two negative sizes multiply:
// the replies are those of a host reporting no voxels at all.
TEST(HostFaults, NegativeSizesCountAsNone) {
  const char* const arrays[] = {texts::request::kGetValueOfAllVoxelsAtTime, texts::request::kGetBetaMaps,
                                texts::request::kGetContrastMaps};
  auto replies = [&](int x, int y, int z, int predictors, int contrasts) {
    normalHost();
    FakeHost::state().dimX = x;
    FakeHost::state().dimY = y;
    FakeHost::state().dimZ = z;
    FakeHost::state().currentPredictors = predictors;
    FakeHost::state().contrasts = contrasts;
    TcpIpExport plugin;
    EXPECT_TRUE(plugin.initPlugin());
    QList<QByteArray> answers;
    for (const char* name : arrays) answers << plugin.executeRequest({QString::fromLatin1(name), 1});
    return answers;
  };
  const QList<QByteArray> none = replies(0, 0, 0, 0, 0);
  EXPECT_EQ(replies(-2, -2, 1, 3, 1), none);
  EXPECT_EQ(replies(-1, 2, 2, -3, -1), none);
  EXPECT_EQ(replies(2, -2, 1, -3, -1), none);
}

TEST(HostFaults, EnormousCounts) {
  normalHost();
  FakeHostState& host = FakeHost::state();
  // Products far beyond any buffer: nothing may be allocated for them, and
  // arithmetic on them must not overflow.
  host.dimX = host.dimY = host.dimZ = INT_MAX;
  host.expectedTimePoints = INT_MAX;
  host.fullPredictors = host.currentPredictors = INT_MAX;
  host.contrasts = INT_MAX;
  host.numberOfClasses = INT_MAX;
  host.nullArrays = true;
  runAndAskEverything([] {});

  normalHost();
  FakeHost::state().dimX = 1 << 16;
  FakeHost::state().dimY = 1 << 16;
  FakeHost::state().dimZ = 1 << 16;
  FakeHost::state().expectedTimePoints = 0;
  FakeHost::state().nullArrays = true;
  runAndAskEverything([] {});
}

TEST(HostFaults, NaNValuesTravelAsTheyAre) {
  normalHost();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (FakeRoi& roi : FakeHost::state().rois) {
    roi.mean = nan;
    roi.detrendedValue = -std::numeric_limits<float>::infinity();
    roi.betas = {nan, nan};
  }
  FakeHost::state().voxelValue = [nan](int, int, int, int) { return nan; };
  FakeHost::state().designMatrixValue = [nan](int, int) { return nan; };
  FakeHost::state().betaOfVoxel = [](int, int, int, int) { return std::nan(""); };
  FakeHost::state().classifierOutput = {nan, nan, nan};
  runAndAskEverything([] {}, 4);
}

TEST(HostFaults, TimePointThatGoesBackwards) {
  normalHost();
  TcpIpExport plugin;
  FakeHost::state().integerInput = freeTcpPort();
  ASSERT_TRUE(plugin.initPlugin());
  ASSERT_TRUE(plugin.executePreRun(0));
  for (int timePoint : {3, 4, 1, 0, -2, 5, INT_MAX, INT_MIN, 2}) {
    {
      auto lock = FakeHost::lock();
      FakeHost::state().currentTimePoint = timePoint;
    }
    EXPECT_TRUE(plugin.executePreStep());
    EXPECT_TRUE(plugin.executePostStep());
    askEverything(plugin);
  }
  EXPECT_TRUE(plugin.executePostRun());
}

}  // namespace
