// The client, subscription and discovery over real sockets against a scripted
// server: round trips, pipelining, and the failures a client must survive
// (stalls, closes mid-reply, oversized lengths, wrong echoes).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <tuple>
#include <vector>

#include "FakeServer.h"
#include "nmbclient/Client.h"
#include "nmbclient/Discovery.h"
#include "nmbclient/Errors.h"
#include "nmbclient/Marks.h"
#include "nmbclient/Subscription.h"
#include "tests/support/FreePort.h"

using namespace testbytes;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

Bytes nrOfRoisReply(std::int32_t n) { return frame(cat({text("tGetNrOfROIs"), int32(n)})); }

Bytes meanReply(std::int32_t roi, const char* realHex) {
  return frame(cat({text("tGetMeanOfROI"), int32(roi), hex(realHex)}));
}

Bytes errorReply(const char* message) { return frame(cat({text("Wrong request!"), text(message)})); }

// Time from `start` to now in milliseconds.
long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

TEST(Client, HandshakesAndAnswersARequest) {
  Bytes role, request;
  FakeServer server([&](int fd) {
    role = FakeServer::readFrame(fd);
    FakeServer::send(fd, cat({hex("00 00 00 00 00 00 00 1F 00 00 00 0F"), ascii("Request Socket"),
                              hex("00 00 00 00 02 00 00 00 00 00 00 00 00")}));
    request = FakeServer::readFrame(fd);
    FakeServer::send(fd, nrOfRoisReply(3));
    FakeServer::waitForClose(fd);
  });
  {
    nmb::Client client("127.0.0.1", server.port(), 2s);
    EXPECT_EQ(client.serverVersion(), (std::array<std::int32_t, 3>{2, 0, 0}));
    const auto before = Clock::now();
    EXPECT_EQ(client.nrOfRois(), 3);
    EXPECT_GE(client.lastReceiveTime(), before);
    EXPECT_LE(client.lastReceiveTime(), Clock::now());
  }
  EXPECT_EQ(role, cat({hex("00 00 00 00 00 00 00 13 00 00 00 0F"), ascii("Request Socket"), hex("00")}));
  EXPECT_EQ(request, cat({hex("00 00 00 00 00 00 00 11 00 00 00 0D"), ascii("tGetNrOfROIs"), hex("00")}));
}

TEST(Client, PipelinesTheRoiMeansAndReadsRepliesThatArriveTogether) {
  Bytes requests;
  FakeServer server([&](int fd) {
    FakeServer::answerHandshake(fd, "Request Socket");
    for (int i = 0; i < 3; ++i) {
      const Bytes r = FakeServer::readFrame(fd);
      requests.insert(requests.end(), r.begin(), r.end());
    }
    // All three replies in one segment: the client must split them itself.
    FakeServer::send(
        fd, cat({meanReply(0, "3F 80 00 00"), meanReply(1, "3F C0 00 00"), meanReply(2, "C0 00 00 00")}));
    FakeServer::waitForClose(fd);
  });
  {
    nmb::Client client("127.0.0.1", server.port(), 2s);
    EXPECT_EQ(client.meansOfRois(3), (std::vector<float>{1.0f, 1.5f, -2.0f}));
  }
  EXPECT_EQ(requests,
            cat({frame(cat({text("tGetMeanOfROI"), int32(0)})), frame(cat({text("tGetMeanOfROI"), int32(1)})),
                 frame(cat({text("tGetMeanOfROI"), int32(2)}))}));
}

TEST(Client, ARefusedRequestInAPipelineStillLeavesTheConnectionInStep) {
  FakeServer server([&](int fd) {
    FakeServer::answerHandshake(fd, "Request Socket");
    for (int i = 0; i < 2; ++i) FakeServer::readFrame(fd);
    FakeServer::send(fd, cat({errorReply("NrOfROI out of range"), meanReply(1, "3F 80 00 00")}));
    FakeServer::readFrame(fd);
    FakeServer::send(fd, nrOfRoisReply(2));
    FakeServer::waitForClose(fd);
  });
  nmb::Client client("127.0.0.1", server.port(), 2s);
  try {
    client.meansOfRois(2);
    ADD_FAILURE() << "no NimbrelError";
  } catch (const nmb::NimbrelError& e) {
    EXPECT_EQ(e.text(), "NrOfROI out of range");
  }
  EXPECT_TRUE(client.isConnected());
  EXPECT_EQ(client.nrOfRois(), 2);
}

TEST(Client, LargeRepliesArriveInPieces) {
  const std::size_t voxels = 64 * 64 * 30;
  Bytes samples(voxels * 2);
  for (std::size_t i = 0; i < voxels; ++i) {
    samples[2 * i] = static_cast<std::uint8_t>(i >> 8);
    samples[2 * i + 1] = static_cast<std::uint8_t>(i);
  }
  const Bytes reply = frame(cat({text("tGetValueOfAllVoxelsAtTime"), int32(4), samples}));
  FakeServer server([&](int fd) {
    FakeServer::answerHandshake(fd, "Request Socket");
    FakeServer::readFrame(fd);
    const std::size_t third = reply.size() / 3;
    FakeServer::send(fd, Bytes(reply.begin(), reply.begin() + 5));  // not even the whole length field
    std::this_thread::sleep_for(50ms);
    FakeServer::send(fd, Bytes(reply.begin() + 5, reply.begin() + third));
    std::this_thread::sleep_for(50ms);
    FakeServer::send(fd, Bytes(reply.begin() + third, reply.end()));
    FakeServer::waitForClose(fd);
  });
  nmb::Client client("127.0.0.1", server.port(), 2s);
  const std::vector<std::int16_t> volume = client.valueOfAllVoxelsAtTime(4);
  ASSERT_EQ(volume.size(), voxels);
  for (std::size_t i = 0; i < voxels; ++i) ASSERT_EQ(volume[i], static_cast<std::int16_t>(i)) << i;
}

TEST(ClientFailures, AStalledServerGivesATimeoutWithinTheTimeOut) {
  FakeServer server([&](int fd) {
    FakeServer::answerHandshake(fd, "Request Socket");
    FakeServer::readFrame(fd);
    FakeServer::send(fd, hex("00 00 00 00 00 00 00 15 00 00"));  // a reply begun and never finished
    FakeServer::waitForClose(fd);
  });
  nmb::Client client("127.0.0.1", server.port(), 300ms);
  const auto start = Clock::now();
  EXPECT_THROW(client.nrOfRois(), nmb::TimeoutError);
  EXPECT_GE(msSince(start), 290);
  EXPECT_LT(msSince(start), 1300);
  // The half reply could be taken for the next answer: the client refuses to go on.
  EXPECT_FALSE(client.isConnected());
  EXPECT_THROW(client.nrOfRois(), nmb::ConnectionError);
}

TEST(ClientFailures, AServerThatClosesMidReplyGivesAConnectionErrorAtOnce) {
  FakeServer server([&](int fd) {
    FakeServer::answerHandshake(fd, "Request Socket");
    FakeServer::readFrame(fd);
    FakeServer::send(fd, hex("00 00 00 00 00 00 00 15 00 00 00 0D 74 47"));
  });
  nmb::Client client("127.0.0.1", server.port(), 3s);
  const auto start = Clock::now();
  EXPECT_THROW(client.nrOfRois(), nmb::ConnectionError);
  EXPECT_LT(msSince(start), 2000);
}

TEST(ClientFailures, OversizedAndNegativeLengthsAreRefusedWithoutWaitingForTheBody) {
  for (const char* length : {"00 00 01 00 00 00 00 00", "FF FF FF FF FF FF FF F0"}) {
    SCOPED_TRACE(length);
    FakeServer server([&](int fd) {
      FakeServer::answerHandshake(fd, "Request Socket");
      FakeServer::readFrame(fd);
      FakeServer::send(fd, hex(length));
      FakeServer::waitForClose(fd);
    });
    nmb::Client client("127.0.0.1", server.port(), 3s);
    const auto start = Clock::now();
    EXPECT_THROW(client.nrOfRois(), nmb::ProtocolError);
    EXPECT_LT(msSince(start), 2000);
    EXPECT_FALSE(client.isConnected());
  }
}

TEST(ClientFailures, TheFrameLimitIsTheCallersChoice) {
  FakeServer server([&](int fd) {
    FakeServer::answerHandshake(fd, "Request Socket");
    FakeServer::readFrame(fd);
    FakeServer::send(fd, frame(cat({text("tGetProjectName"), text(std::string(40, 'p'))})));  // 61-byte body
    FakeServer::waitForClose(fd);
  });
  nmb::Client client("127.0.0.1", server.port(), 2s, 60);  // the 31-byte handshake answer passes
  EXPECT_THROW(client.projectName(), nmb::ProtocolError);
}

TEST(ClientFailures, AReplyToAnotherRequestIsRejected) {
  FakeServer server([&](int fd) {
    FakeServer::answerHandshake(fd, "Request Socket");
    FakeServer::readFrame(fd);
    FakeServer::send(fd, meanReply(1, "3F 80 00 00"));
    FakeServer::waitForClose(fd);
  });
  nmb::Client client("127.0.0.1", server.port(), 2s);
  EXPECT_THROW(client.meanOfRoi(2), nmb::ProtocolError);
  EXPECT_FALSE(client.isConnected());
}

TEST(ClientFailures, HandshakeThatNeverComesOrIsRefused) {
  {
    FakeServer server([&](int fd) { FakeServer::waitForClose(fd); });
    const auto start = Clock::now();
    EXPECT_THROW(nmb::Client("127.0.0.1", server.port(), 300ms), nmb::TimeoutError);
    EXPECT_LT(msSince(start), 1300);
  }
  {
    FakeServer server([&](int fd) { FakeServer::answerHandshake(fd, ""); });
    EXPECT_THROW(nmb::Client("127.0.0.1", server.port(), 2s), nmb::ProtocolError);
  }
}

TEST(ClientFailures, AConnectionClosedBeforeTheHandshakeAnswerPointsToTheAccessRules) {
  // What a plug-in whose settings refuse the client does: close at once, unread.
  FakeServer server([](int) {}, 2);
  const auto expectPointer = [](const std::function<void()>& connect) {
    try {
      connect();
      ADD_FAILURE() << "no error";
    } catch (const nmb::ConnectionError& e) {
      EXPECT_NE(std::string(e.what()).find("before answering the handshake"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("docs/security.md"), std::string::npos) << e.what();
    }
  };
  expectPointer([&] { nmb::Client("127.0.0.1", server.port(), 2s); });
  expectPointer([&] { nmb::Subscription("127.0.0.1", server.port(), 2s); });
}

TEST(ClientFailures, NobodyListening) {
  const std::uint16_t port = freeLoopbackPort(SOCK_STREAM);
  EXPECT_THROW(nmb::Client("127.0.0.1", port, 1s), nmb::ConnectionError);
}

TEST(ClientWait, AHostStillStartingIsWaitedForAndAnAbsentOneIsNamedWithTheWait) {
  // The first connection closes before the handshake answer, as at a host
  // that is not serving yet.
  std::atomic<int> connection{0};
  FakeServer server(
      [&](int fd) {
        if (connection++ == 0) return;
        FakeServer::answerHandshake(fd, "Execute Socket");
        FakeServer::waitForClose(fd);
      },
      2);
  nmb::Subscription steps("127.0.0.1", server.port(), 2s, nmb::WaitForHost{5s});
  EXPECT_EQ(connection.load(), 2);
  steps.close();

  const std::uint16_t nobody = freeLoopbackPort(SOCK_STREAM);
  const auto start = Clock::now();
  try {
    nmb::Client client("127.0.0.1", nobody, 1s, nmb::WaitForHost{600ms});
    ADD_FAILURE() << "connected to nobody";
  } catch (const nmb::ConnectionError& e) {
    EXPECT_NE(std::string(e.what()).find("no host answered at 127.0.0.1:" + std::to_string(nobody) +
                                         " within the 0.6 s waited"),
              std::string::npos)
        << e.what();
  }
  EXPECT_GE(Clock::now() - start, 400ms) << "gave up before the wait was over";
}

TEST(Client, ReconnectStartsAFreshConnection) {
  std::atomic<int> connection{0};
  FakeServer server(
      [&](int fd) {
        FakeServer::answerHandshake(fd, "Request Socket");
        FakeServer::readFrame(fd);
        if (connection++ == 0) return;  // the first connection closes without an answer
        FakeServer::send(fd, nrOfRoisReply(5));
        FakeServer::waitForClose(fd);
      },
      2);
  nmb::Client client("127.0.0.1", server.port(), 2s);
  EXPECT_THROW(client.nrOfRois(), nmb::ConnectionError);
  client.reconnect();
  EXPECT_EQ(client.nrOfRois(), 5);
}

TEST(Subscription, DeliversNotificationsAndTimesOutQuietly) {
  std::atomic<bool> release{false};
  Bytes role;
  FakeServer server([&](int fd) {
    role = FakeServer::readFrame(fd);
    FakeServer::send(fd, frame(cat({text("Execute Socket"), int32(2), int32(0), int32(0)})));
    const Bytes pre =
        cat({hex("00 00 00 00 00 00 00 16 00 00 00 0E"), ascii("PreStepCalled"), hex("00 00 00 00 07")});
    FakeServer::send(fd, Bytes(pre.begin(), pre.begin() + 12));
    while (!release) std::this_thread::sleep_for(5ms);
    FakeServer::send(
        fd, cat({Bytes(pre.begin() + 12, pre.end()), frame(cat({text("PostStepCalled"), int32(7)}))}));
    FakeServer::send(fd, cat({frame(cat({text("PreStepCalled"), int32(8)})),
                              frame(cat({text("PostStepCalled"), int32(8)}))}));
  });
  nmb::Subscription steps("127.0.0.1", server.port(), 2s);
  nmb::Ledger ledger;
  steps.setLedger(&ledger);
  EXPECT_EQ(role, cat({hex("00 00 00 00 00 00 00 13 00 00 00 0F"), ascii("Execute Socket"), hex("00")}));

  const auto start = Clock::now();
  EXPECT_FALSE(steps.next(100ms).has_value());  // half a notification is no notification
  EXPECT_GE(msSince(start), 95);
  release = true;

  const auto pre = steps.next(2s);
  ASSERT_TRUE(pre.has_value());
  EXPECT_TRUE(pre->isPreStep());
  EXPECT_EQ(pre->timePoint, 7);
  EXPECT_LE(pre->received, Clock::now());
  const auto post = steps.next(2s);
  ASSERT_TRUE(post.has_value());
  EXPECT_TRUE(post->isPostStep());
  EXPECT_EQ(post->timePoint, 7);
  const nmb::Moments seen = ledger.moments(7);
  EXPECT_EQ(seen.preStep, pre->received);
  EXPECT_EQ(seen.postStep, post->received);
  EXPECT_FALSE(seen.values.has_value());

  const auto nextPost = steps.waitForPostStep(2s);  // skips PreStepCalled 8
  ASSERT_TRUE(nextPost.has_value());
  EXPECT_EQ(nextPost->name, "PostStepCalled");
  EXPECT_EQ(nextPost->timePoint, 8);

  EXPECT_THROW(steps.next(2s), nmb::ConnectionError);  // the server has gone
}

TEST(Subscription, MarksGapsAndRepeatsAndEndsQuietlyAfterThePostRun) {
  auto steps = [](std::initializer_list<int> points) {
    Bytes all;
    for (int t : points)
      all = cat({all, frame(cat({text("PreStepCalled"), int32(t)})),
                 frame(cat({text("PostStepCalled"), int32(t)}))});
    return all;
  };
  FakeServer server(
      [&](int fd) {
        FakeServer::readFrame(fd);
        FakeServer::send(fd, frame(cat({text("Execute Socket"), int32(2), int32(0), int32(0)})));
        FakeServer::send(
            fd, cat({steps({4, 5, 7, 7}), frame(cat({text("PostRunCalled"), int32(7)})), steps({1})}));
      },
      1);
  nmb::Subscription subscription("127.0.0.1", server.port(), 2s);
  std::vector<std::tuple<int, int, bool>> posts;
  for (;;) {
    const auto n = subscription.next(2s);
    ASSERT_TRUE(n.has_value());
    if (n->isPostStep()) posts.emplace_back(n->timePoint, n->skipped, n->repeated);
    if (n->isPostStep() && n->timePoint == 1) break;
  }
  const std::vector<std::tuple<int, int, bool>> expected{
      {4, 0, false}, {5, 0, false}, {7, 1, false}, {7, 0, true}, {1, 0, false}};
  EXPECT_EQ(posts, expected);
  // The server closes in the middle of the second run: a lost run.
  EXPECT_THROW(subscription.next(2s), nmb::ConnectionError);
  EXPECT_FALSE(subscription.ended());
}

TEST(Subscription, AConnectionClosedAfterThePostRunIsTheNormalEnd) {
  FakeServer server([&](int fd) {
    FakeServer::readFrame(fd);
    FakeServer::send(fd, frame(cat({text("Execute Socket"), int32(2), int32(0), int32(0)})));
    FakeServer::send(fd, frame(cat({text("PostRunCalled"), int32(3)})));
  });
  nmb::Subscription subscription("127.0.0.1", server.port(), 2s);
  const auto last = subscription.next(2s);
  ASSERT_TRUE(last.has_value());
  EXPECT_TRUE(last->isPostRun());
  EXPECT_FALSE(subscription.next(2s).has_value());
  EXPECT_TRUE(subscription.ended());
  EXPECT_FALSE(subscription.next(0ms).has_value());
}

TEST(Discovery, HearsEachPluginOnceAndIgnoresOtherDatagrams) {
  // A UDP port of our own instead of the shared discovery port.
  const std::uint16_t udpPort = freeLoopbackPort(SOCK_DGRAM);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(udpPort);

  std::atomic<bool> done{false};
  std::thread sender([&] {
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    for (int i = 0; i < 40 && !done; ++i) {
      for (const char* text :
           {"Nimbrel Broadcast: 1234", "hello", "Nimbrel Broadcast: 4321", "Nimbrel Broadcast: 1234"})
        ::sendto(s, text, std::strlen(text), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
      std::this_thread::sleep_for(20ms);
    }
    ::close(s);
  });
  const std::vector<nmb::Announcement> found = nmb::discover(400ms, udpPort);
  done = true;
  sender.join();
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].address, "127.0.0.1");
  EXPECT_EQ(found[0].port, 1234);
  EXPECT_EQ(found[1].port, 4321);
}

TEST(Marks, OneDatagramPerMarkToTheRecordersPort) {
  const std::uint16_t port = freeLoopbackPort(SOCK_DGRAM);
  nmb::net::UdpReceiver recorder(port);
  const double before =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_TRUE(nmb::mark("feedback shown", 17, port));
  std::uint8_t datagram[512];
  std::string from;
  const std::size_t size = recorder.receive(datagram, sizeof datagram, Clock::now() + 2s, from);
  const std::string text(reinterpret_cast<const char*>(datagram), size);
  ASSERT_EQ(text.rfind("Nimbrel Mark: 17 ", 0), 0u) << text;
  const double sent = std::stod(text.substr(17, text.find(' ', 17) - 17));
  EXPECT_GE(sent, before - 1e-6);
  EXPECT_EQ(text.substr(text.size() - 15), " feedback shown");
  EXPECT_EQ(from, "127.0.0.1");
}
