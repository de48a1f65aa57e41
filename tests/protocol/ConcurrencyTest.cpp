// Eight request clients with mixed requests while the host runs 200 volumes
// through the lifecycle on another thread.  Every reply must be one whole,
// well-formed frame for its request.
#include <QThread>
#include <atomic>
#include <thread>
#include <vector>

#include "tests/protocol/ReplyTestSupport.h"
#include "tests/support/ServiceHarness.h"

namespace {

constexpr int kClients = 8;
constexpr int kSteps = 200;

struct MixedRequest {
  const char* name;
  QList<qint32> arguments;
  int bodyBytesAfterName;  // of a successful reply, echo included
};

// Three ROIs, 2 x 2 x 1 volumes.  Early in the run some of these are refused
// (no time point recorded yet, a window larger than the run so far).
const MixedRequest kMix[] = {
    {"tGetCurrentTimePoint", {}, 4},
    {"tGetMeanOfROI", {1}, 8},
    {"tGetDetrendedValueOfROI", {0}, 8},
    {"tGetRawValueOfAllVoxelsAtTime", {0}, 4 + 4 * 2},
    {"tGetValueOfAllVoxelsAtTime", {0}, 4 + 4 * 2},
    {"tGetExistingMeansOfROI", {2, 1}, 8 + 4},
    {"tGetPearsonCorrelation", {3}, 4 + 3 * 4},
    {"tGetPartialCorrelationAtTimePoint", {3, 3}, 8 + 3 * 4},
    {"tGetInstantProxyCorrelation", {2}, 4 + 4},
    {"tGetAllCoordsOfVoxelsOfROI", {2}, 4 + 3 * 4},
    {"tGetNoSuchRequest", {}, -1},
};

}  // namespace

TEST(Concurrency, RequestClientsDuringARunGetWellFormedReplies) {
  quint16 port = 0;
  std::unique_ptr<TcpIpExport> plugin = startServedPlugin(port);
  ASSERT_NE(plugin, nullptr);
  {
    auto lock = FakeHost::lock();
    FakeHostState& s = FakeHost::state();
    s.expectedTimePoints = kSteps;
    s.rois = {FakeRoi{{{0, 0, 0}, {1, 0, 0}}, 1.0f, 0.5f, {}, {}}, FakeRoi{{{0, 1, 0}}, 0.0f, 0.0f, {}, {}},
              FakeRoi{{{1, 1, 0}}, 2.0f, 0.0f, {}, {}}};
  }
  FakeHost::fillTimeCourse(kSteps + 1);

  std::atomic<bool> runOver{false};
  std::atomic<int> clientsServing{0};
  std::vector<int> failures(kClients, 0), answered(kClients, 0);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      LoopbackClient client;
      if (connectAs(client, port, "Request Socket").size() != 39) {
        ++failures[size_t(c)];
        return;
      }
      for (int i = c; !runOver.load() || i < c + 20; ++i) {
        const MixedRequest& request = kMix[size_t(i) % std::size(kMix)];
        if (!client.send(wire::requestFrame(request.name, request.arguments))) {
          ++failures[size_t(c)];
          return;
        }
        const QByteArray reply = client.receiveFrame();
        if (reply.isEmpty()) {
          ++failures[size_t(c)];
          return;
        }
        if (!wire::isWellFormedReply(reply, request.name, request.bodyBytesAfterName)) ++failures[size_t(c)];
        if (++answered[size_t(c)] == 1) ++clientsServing;
      }
    });
  }

  // The host's thread, once every client is being served, so that requests
  // and steps overlap; a millisecond per volume keeps the run going while
  // the clients ask.
  const bool allServing = eventually([&] { return clientsServing.load() == kClients; }, 10000);
  EXPECT_TRUE(allServing);
  for (int t = 1; allServing && t <= kSteps; ++t) {
    QThread::msleep(1);
    {
      auto lock = FakeHost::lock();
      FakeHost::state().currentTimePoint = t;
    }
    EXPECT_TRUE(plugin->executePreStep());
    EXPECT_TRUE(plugin->executePostStep());
  }
  EXPECT_TRUE(plugin->executePostRun());
  runOver = true;
  for (std::thread& client : clients) client.join();

  for (int c = 0; c < kClients; ++c) {
    SCOPED_TRACE(c);
    EXPECT_EQ(failures[size_t(c)], 0);
    EXPECT_GE(answered[size_t(c)], 20);
  }
}
