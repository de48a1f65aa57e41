// The request loop end to end: a client on a real loopback connection sends
// framed requests and reads the replies.
#include <QDataStream>

#include "tests/protocol/ReplyTestSupport.h"
#include "tests/support/ServiceHarness.h"

using wire::frame;
using wire::framed;
using wire::requestFrame;

namespace {

class RequestLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    plugin = startServedPlugin(port);
    ASSERT_NE(plugin, nullptr);
    {
      auto lock = FakeHost::lock();
      FakeHost::state().rois = {FakeRoi{{{0, 0, 0}}, 4.5f, 0, {}, {}}, FakeRoi{{{1, 0, 0}}, 0.25f, 0, {}, {}},
                                FakeRoi{{{1, 1, 0}}, 1.0f, 0, {}, {}}};
    }
    ASSERT_EQ(connectAs(client, port, "Request Socket").size(), 39);
  }
  QByteArray nextReply() { return client.receiveFrame(); }

  quint16 port = 0;
  std::unique_ptr<TcpIpExport> plugin;
  LoopbackClient client;
};

QByteArray meanReply(int roi, float value) {
  return framed([=](QDataStream& out) { out << "tGetMeanOfROI" << qint32(roi) << value; });
}

const QByteArray kThreeRois = framed([](QDataStream& out) { out << "tGetNrOfROIs" << qint32(3); });

}  // namespace

TEST_F(RequestLoop, AnswersTheWorkedExampleAndIgnoresExtraIntegers) {
  ASSERT_TRUE(client.send(requestFrame("tGetNrOfROIs")));
  EXPECT_EQ(nextReply(), kThreeRois);
  ASSERT_TRUE(client.send(requestFrame("tGetNrOfROIs", {7, 8, 9})));
  EXPECT_EQ(nextReply(), kThreeRois);
}

TEST_F(RequestLoop, MissingArgumentReadsAsZero) {
  ASSERT_TRUE(client.send(requestFrame("tGetMeanOfROI")));
  EXPECT_EQ(nextReply(), meanReply(0, 4.5f));
}

TEST_F(RequestLoop, NameWithoutItsNulIsRecognised) {
  const QByteArray payload =
      QByteArray::fromHex("0000000D") + QByteArray("tGetMeanOfROI") + QByteArray::fromHex("00000001");
  ASSERT_TRUE(client.send(frame(payload)));
  EXPECT_EQ(nextReply(), meanReply(1, 0.25f));
}

TEST_F(RequestLoop, BackToBackRequestsAreAnsweredInOrder) {
  ASSERT_TRUE(client.send(requestFrame("tGetMeanOfROI", {2}) + requestFrame("tGetNrOfROIs") +
                          requestFrame("tGetMeanOfROI", {1})));
  EXPECT_EQ(nextReply(), meanReply(2, 1.0f));
  EXPECT_EQ(nextReply(), kThreeRois);
  EXPECT_EQ(nextReply(), meanReply(1, 0.25f));
}

TEST_F(RequestLoop, NameCountZeroDropsWhatIsBufferedAndSendsNothing) {
  // Sent in one piece, so the request behind the empty name is buffered with it.
  ASSERT_TRUE(client.send(frame(QByteArray::fromHex("00000000")) + requestFrame("tGetNrOfROIs")));
  EXPECT_TRUE(client.staysQuiet(300));
  // The connection still serves the next request.
  ASSERT_TRUE(client.send(requestFrame("tGetMeanOfROI", {2})));
  EXPECT_EQ(nextReply(), meanReply(2, 1.0f));
}

TEST_F(RequestLoop, EmptyBodyIsAMessageWithoutAName) {
  ASSERT_TRUE(client.send(frame(QByteArray())));
  EXPECT_TRUE(client.staysQuiet(200));
  ASSERT_TRUE(client.send(requestFrame("tGetNrOfROIs")));
  EXPECT_EQ(nextReply(), kThreeRois);
}

TEST_F(RequestLoop, A2MBVolumeReadTwoSecondsLateOverSmallBuffersArrivesWholeAndTheNextRequestIsAnswered) {
  {
    auto lock = FakeHost::lock();
    FakeHostState& host = FakeHost::state();
    host.dimX = 128;
    host.dimY = 128;
    host.dimZ = 64;
    host.currentTimePoint = 1;
  }
  FakeHost::fillTimeCourse(1);
  LoopbackClient late;
  late.setReceiveBuffer(64 * 1024);
  ASSERT_EQ(connectAs(late, port, "Request Socket").size(), 39);
  ASSERT_TRUE(eventually([&] { return ChannelListsProbe::requestChannelCount(*plugin) == 2; }));
  ChannelListsProbe::shrinkRequestSendBuffers(*plugin, 64 * 1024);
  const QByteArray expected = framed([](QDataStream& out) {
    out << "tGetValueOfAllVoxelsAtTime" << qint32(0);
    for (int i = 0; i < 128 * 128 * 64; ++i) out << qint16(1 + i);
  });
  ASSERT_GT(expected.size(), 2 * 1024 * 1024);
  ASSERT_TRUE(late.send(requestFrame("tGetValueOfAllVoxelsAtTime", {0})));
  QThread::msleep(2000);
  EXPECT_TRUE(late.receive(expected.size(), 10000) == expected);
  ASSERT_TRUE(late.send(requestFrame("tGetNrOfROIs", {})));
  EXPECT_EQ(late.receiveFrame(), kThreeRois);
}
