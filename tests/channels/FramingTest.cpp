// The frame and block formats, and receiving frames from a real connection.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QDataStream>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>
#include <atomic>
#include <memory>
#include <thread>

#include "channels/Discovery.h"
#include "channels/Framing.h"
#include "channels/MessageTransfer.h"
#include "tests/support/LoopbackClient.h"

TEST(FramingBlocks, HandshakeAnswerForTheRequestRoleIs39Bytes) {
  EXPECT_EQ(framing::handshakeAnswerBlock("Request Socket"),
            hexBytes("00 00 00 00 00 00 00 1F  00 00 00 0F") + QByteArray("Request Socket", 15) +
                hexBytes("00 00 00 02  00 00 00 00  00 00 00 00"));
}

TEST(FramingBlocks, EmptyRoleIsAnsweredWithCountOneAndASingleNul) {
  EXPECT_EQ(framing::handshakeAnswerBlock(QString()),
            hexBytes("00 00 00 00 00 00 00 11  00 00 00 01 00  00 00 00 02  00 00 00 00  00 00 00 00"));
}

TEST(FramingBlocks, PreStepNotificationWithSevenIs30Bytes) {
  EXPECT_EQ(framing::notificationBlock("PreStepCalled", 7), hexBytes("00 00 00 00 00 00 00 16  00 00 00 0E") +
                                                                QByteArray("PreStepCalled", 14) +
                                                                hexBytes("00 00 00 07"));
}

TEST(FramingBlocks, DiscoveryDatagramIsTextAndPortWithoutTerminator) {
  EXPECT_EQ(discovery::datagram(55555), QByteArray("Nimbrel Broadcast: 55555"));
  EXPECT_EQ(discovery::datagram(55555).size(), 24);
  EXPECT_EQ(discovery::datagram(1234), QByteArray("Nimbrel Broadcast: 1234"));
}

TEST(FramingBlocks, RealsTravelAsBigEndianSingles) {
  QByteArray body;
  QDataStream out(&body, QIODevice::WriteOnly);
  framing::setUpStream(out);
  out << 0.1;
  EXPECT_EQ(body, hexBytes("3D CC CC CD"));
}

namespace {

bool readTextFrom(const QByteArray& body, QByteArray& text) {
  int at = 0;
  framing::TextView view;
  const bool read = framing::readText(body, at, view);
  text = QByteArray(view.chars, view.length);
  return read;
}

}  // namespace

TEST(FramingText, NullEmptyShortAndUnterminatedTexts) {
  QByteArray text;
  EXPECT_FALSE(readTextFrom(QByteArray(), text)) << "no count at all";
  EXPECT_FALSE(readTextFrom(hexBytes("00 00"), text)) << "half a count";
  EXPECT_FALSE(readTextFrom(hexBytes("00 00 00 00"), text)) << "count 0 is the null text";
  EXPECT_FALSE(readTextFrom(hexBytes("00 00 00 05 41 42"), text)) << "fewer bytes than counted";
  EXPECT_FALSE(readTextFrom(hexBytes("FF FF FF FF 41"), text)) << "a huge count allocates nothing";
  ASSERT_TRUE(readTextFrom(hexBytes("00 00 00 01 00"), text));
  EXPECT_EQ(text, QByteArray(""));
  ASSERT_TRUE(readTextFrom(hexBytes("00 00 00 03 41 42 43"), text));
  EXPECT_EQ(text, QByteArray("ABC")) << "without a NUL all counted bytes are the text";
  ASSERT_TRUE(readTextFrom(hexBytes("00 00 00 04 41 00 43 00"), text));
  EXPECT_EQ(text, QByteArray("A")) << "the text ends at the first NUL";
}

// A Qt socket on one end of a loopback connection, a plain client on the other.
class FrameReceive : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    ASSERT_TRUE(client.connectTo(server.serverPort()));
    ASSERT_TRUE(server.waitForNewConnection(2000));
    socket.reset(server.nextPendingConnection());
    ASSERT_NE(socket, nullptr);
    socket->setParent(nullptr);
  }
  void TearDown() override {
    if (writer.joinable()) writer.join();
  }
  framing::ReceiveResult receive(QByteArray& body) {
    return framing::receiveFrame(*socket, framing::kReadTimeoutMs, stop, body);
  }
  // Sends the pieces from another thread, `gapMs` apart.
  void sendInPieces(std::vector<QByteArray> pieces, int gapMs) {
    writer = std::thread([this, pieces, gapMs] {
      for (size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
        client.send(pieces[i]);
      }
    });
  }

  QTcpServer server;
  LoopbackClient client;
  std::unique_ptr<QTcpSocket> socket;
  std::atomic<bool> stop{false};
  std::thread writer;
};

TEST_F(FrameReceive, ABodyInThreePiecesWithinTheTimeOutIsTakenWhole) {
  sendInPieces({hexBytes("00 00 00 00 00 00 00 06 41 42"), hexBytes("43 44"), hexBytes("45 46")}, 1500);
  QByteArray body;
  ASSERT_EQ(receive(body), framing::ReceiveResult::Received);
  EXPECT_EQ(body, QByteArray("ABCDEF"));
}

TEST_F(FrameReceive, AGapLongerThanTheTimeOutFailsTheReceive) {
  sendInPieces({hexBytes("00 00 00 00 00 00 00 04 41 42"), hexBytes("43 44")}, 2500);
  QByteArray body;
  EXPECT_EQ(receive(body), framing::ReceiveResult::Failed);
  // The length is gone: the body bytes, those at hand and those that come
  // later, are what the next receive starts with.
  writer.join();
  socket->waitForReadyRead(1000);
  EXPECT_EQ(socket->readAll(), QByteArray("ABCD"));
}

TEST_F(FrameReceive, TwoFramesInOneSegmentAreReceivedOneAfterTheOther) {
  ASSERT_TRUE(client.send(hexBytes("00 00 00 00 00 00 00 01 41  00 00 00 00 00 00 00 02 42 43")));
  QByteArray first, second;
  ASSERT_EQ(receive(first), framing::ReceiveResult::Received);
  EXPECT_EQ(first, QByteArray("A"));
  ASSERT_EQ(receive(second), framing::ReceiveResult::Received);
  EXPECT_EQ(second, QByteArray("BC"));
}

TEST_F(FrameReceive, ZeroAndNegativeLengthsGiveEmptyBodiesAndTheNextFrameFollows) {
  ASSERT_TRUE(
      client.send(hexBytes("00 00 00 00 00 00 00 00  FF FF FF FF FF FF FF FF  "
                           "00 00 00 00 00 00 00 01 5A")));
  QByteArray body("x");
  ASSERT_EQ(receive(body), framing::ReceiveResult::Received);
  EXPECT_TRUE(body.isEmpty());
  body = "x";
  ASSERT_EQ(receive(body), framing::ReceiveResult::Received);
  EXPECT_TRUE(body.isEmpty());
  ASSERT_EQ(receive(body), framing::ReceiveResult::Received);
  EXPECT_EQ(body, QByteArray("Z"));
}

TEST_F(FrameReceive, ALengthBeyondTheLimitIsRefusedWithoutWaitingForTheBody) {
  QByteArray header(8, '\0');
  qToBigEndian<qint64>(framing::kMaxFrameBodyBytes + 1, header.data());
  ASSERT_TRUE(client.send(header));
  QByteArray body;
  EXPECT_EQ(receive(body), framing::ReceiveResult::Oversized);
  ASSERT_TRUE(client.send(hexBytes("40 00 00 00 00 00 00 00")));  // 2^62
  EXPECT_EQ(receive(body), framing::ReceiveResult::Oversized);
}

TEST_F(FrameReceive, ABodyOfExactlyTheLimitIsReceived) {
  QByteArray frame(8, '\0');
  qToBigEndian<qint64>(framing::kMaxFrameBodyBytes, frame.data());
  frame.append(QByteArray(int(framing::kMaxFrameBodyBytes), 'q'));
  sendInPieces({frame}, 0);
  QByteArray body;
  ASSERT_EQ(receive(body), framing::ReceiveResult::Received);
  EXPECT_EQ(body.size(), framing::kMaxFrameBodyBytes);
}

TEST_F(FrameReceive, ASilentPeerFailsAfterTheTimeOutAndAClosedOneAtOnce) {
  QByteArray body;
  QElapsedTimer timer;
  timer.start();
  EXPECT_EQ(receive(body), framing::ReceiveResult::Failed);
  EXPECT_GE(timer.elapsed(), framing::kReadTimeoutMs - 50);
  client.close();
  timer.restart();
  EXPECT_EQ(receive(body), framing::ReceiveResult::Failed);
  EXPECT_LT(timer.elapsed(), 1000);
}

TEST_F(FrameReceive, AStopEndsTheWaitForALengthAndConsumesItsFirstBytes) {
  ASSERT_TRUE(client.send(hexBytes("00 00 00")));
  writer = std::thread([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop = true;
  });
  QByteArray body("x");
  QElapsedTimer timer;
  timer.start();
  ASSERT_EQ(receive(body), framing::ReceiveResult::Received);
  EXPECT_LT(timer.elapsed(), 1000);
  EXPECT_TRUE(body.isEmpty());
  EXPECT_EQ(socket->bytesAvailable(), 0);
}

TEST_F(FrameReceive, AStopEndsTheWaitForABodyWhoseLengthWasRead) {
  // 1,000 bytes announced, one sent; the client would drip the rest.
  sendInPieces({hexBytes("00 00 00 00 00 00 03 E8 41")}, 0);
  std::thread stopper([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop = true;
  });
  QElapsedTimer timer;
  timer.start();
  QByteArray body;
  EXPECT_EQ(receive(body), framing::ReceiveResult::Failed);
  EXPECT_LT(timer.elapsed(), 200 + 4 * framing::kStopPollSliceMs);
  stopper.join();
}

// A block far larger than both ends' buffers, to a client that does not read.
TEST(FrameSend, AWholeSendEndsOnlyOnAStopTheNoProgressLimitOrAClosedPeer) {
  const QByteArray block(4 * 1024 * 1024, 'x');
  struct Row {
    const char* what;
    int noProgressLimitMs;
    bool stopAfter100Ms;
    bool peerCloses;
    framing::SendResult expected;
  };
  for (const Row& row : {Row{"stop", 60000, true, false, framing::SendResult::Stopped},
                         Row{"no progress", 300, false, false, framing::SendResult::Stalled},
                         Row{"peer closed", 60000, false, true, framing::SendResult::Gone}}) {
    SCOPED_TRACE(row.what);
    QTcpServer server;
    LoopbackClient client;
    client.setReceiveBuffer(4096);
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    ASSERT_TRUE(client.connectTo(server.serverPort()));
    ASSERT_TRUE(server.waitForNewConnection(2000));
    std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
    socket->setParent(nullptr);
    const int sendBuffer = 4096;
    ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    if (row.peerCloses) client.close();
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (row.stopAfter100Ms) stop = true;
    });
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(framing::sendWhole(socket->socketDescriptor(), block, stop, row.noProgressLimitMs), row.expected);
    EXPECT_LT(timer.elapsed(), 2000);
    stopper.join();
  }
}
