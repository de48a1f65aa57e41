// Requests that depend on the phase of the run, with the run driven through
// the lifecycle operations as the host drives them.
#include "tests/protocol/ReplyTestSupport.h"
#include "tests/support/ServiceHarness.h"

using replytest::errorReply;
using replytest::framed;

namespace {

class RunPhase : public ::testing::Test {
 protected:
  void startPlugin(int hostTimePoint) {
    plugin = startServedPlugin(port);
    ASSERT_NE(plugin, nullptr);
    // The host's table has a volume for every time point the steps reach.
    FakeHost::fillTimeCourse(8, 10);  // sample i of volume t: 10 + 100 t + i
    auto lock = FakeHost::lock();
    FakeHost::state().currentTimePoint = hostTimePoint;
  }
  void setHostTimePoint(int t) {
    auto lock = FakeHost::lock();
    FakeHost::state().currentTimePoint = t;
  }
  // One volume as the host processes it: its time point goes up, then the
  // plug-in's pre-step and post-step run.
  void step(int t) {
    setHostTimePoint(t);
    ASSERT_TRUE(plugin->executePreStep());
    ASSERT_TRUE(plugin->executePostStep());
  }
  QByteArray execute(const char* name, QList<int> arguments = {}) {
    return plugin->executeRequest(replytest::request(name, arguments));
  }
  static QByteArray timePointReply(int t) {
    return framed([t](QDataStream& out) { out << "tGetCurrentTimePoint" << qint32(t); });
  }

  quint16 port = 0;
  std::unique_ptr<TcpIpExport> plugin;
};

}  // namespace

TEST_F(RunPhase, RawVolumesFollowTheRun) {
  startPlugin(0);
  // Before any step: time point 0 and no copy.
  EXPECT_EQ(execute("tGetRawValueOfAllVoxelsAtTime", {0}), errorReply("TimePoint out of range"));
  for (int t = 1; t <= 3; ++t) step(t);
  for (int t = 0; t < 3; ++t) {
    SCOPED_TRACE(t);
    const qint16 first = qint16(10 + 100 * t);
    EXPECT_EQ(execute("tGetRawValueOfAllVoxelsAtTime", {t}), framed([&](QDataStream& out) {
                out << "tGetRawValueOfAllVoxelsAtTime" << qint32(t) << first << qint16(first + 1)
                    << qint16(first + 2) << qint16(first + 3);
              }));
  }
  EXPECT_EQ(execute("tGetRawValueOfAllVoxelsAtTime", {3}), errorReply("TimePoint out of range"));
  EXPECT_EQ(execute("tGetRawValueOfAllVoxelsAtTime", {-1}), errorReply("TimePoint out of range"));
}

TEST_F(RunPhase, PluginStartedDuringARunHasNoRawData) {
  plugin = startServedPlugin(port);
  ASSERT_NE(plugin, nullptr);
  // A second pre-run while the host is at time point 6: recorded 6, no copy.
  setHostTimePoint(6);
  ASSERT_TRUE(plugin->executePreRun(0));
  EXPECT_EQ(execute("tGetRawValueOfAllVoxelsAtTime", {2}),
            errorReply("No Raw data Available. Please start the plugin before starting the run."));
}

TEST_F(RunPhase, CurrentTimePointIsTheRecordedOneDuringARun) {
  startPlugin(2);
  EXPECT_EQ(execute("tGetCurrentTimePoint"), timePointReply(2));
  step(1);
  step(2);
  setHostTimePoint(5);  // the host has moved on; no post-step yet
  EXPECT_EQ(execute("tGetCurrentTimePoint"), timePointReply(2));
  ASSERT_TRUE(plugin->executePostRun());
  EXPECT_EQ(execute("tGetCurrentTimePoint"), timePointReply(5));
}

TEST_F(RunPhase, ZeroFromTheHostServesTheValueOfTheLastPostStep) {
  startPlugin(0);
  {
    auto lock = FakeHost::lock();
    FakeHost::state().rois = {FakeRoi{{{0, 0, 0}}, 12.5f, -2.0f, {}, {}}};
  }
  step(1);
  {
    auto lock = FakeHost::lock();
    FakeHost::state().rois[0].mean = 0.0f;
    FakeHost::state().rois[0].detrendedValue = 0.0f;
  }
  EXPECT_EQ(execute("tGetMeanOfROI", {0}),
            framed([](QDataStream& out) { out << "tGetMeanOfROI" << qint32(0) << 12.5f; }));
  EXPECT_EQ(execute("tGetDetrendedValueOfROI", {0}),
            framed([](QDataStream& out) { out << "tGetDetrendedValueOfROI" << qint32(0) << -2.0f; }));
}
