// What the loop's own bookkeeping costs a stimulus program: a mark (one
// datagram to the recorder) beside a bare send of the same datagram, and a
// ledger stamp beside reading the clock it stores.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "bench/Benchmarks.h"
#include "nmbclient/Ledger.h"
#include "nmbclient/Marks.h"

namespace {

using Clock = std::chrono::steady_clock;

double usSince(Clock::time_point start, int events) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / events;
}

// A receiver that keeps the datagrams from piling up in no one's buffer.
struct Sink {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  std::uint16_t port = 0;
  Sink() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    port = ntohs(a.sin_port);
  }
  ~Sink() { ::close(fd); }
  void drain() {
    char buffer[512];
    while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
  }
};

}  // namespace

void benchLedger(BenchContext& c) {
  const int rounds = c.options.reps(200, 20), perRound = 100;
  Sink sink;
  const int bare = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(sink.port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string datagram = nmb::encodeMark(nmb::kFeedbackShown, 123, 1765270012.804113);
  std::vector<double> marks, sends, stamps, clocks;
  nmb::Ledger ledger;
  volatile long sinkhole = 0;
  for (int r = 0; r < rounds; ++r) {
    auto start = Clock::now();
    for (int i = 0; i < perRound; ++i) nmb::mark(nmb::kFeedbackShown, r * perRound + i + 1, sink.port);
    marks.push_back(usSince(start, perRound));
    sink.drain();
    start = Clock::now();
    for (int i = 0; i < perRound; ++i)
      ::sendto(bare, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    sends.push_back(usSince(start, perRound));
    sink.drain();
    start = Clock::now();
    for (int i = 0; i < perRound; ++i) ledger.stamp(r * perRound + i + 1, nmb::Ledger::Shown);
    stamps.push_back(usSince(start, perRound));
    start = Clock::now();
    for (int i = 0; i < perRound; ++i) sinkhole += Clock::now().time_since_epoch().count() & 1;
    clocks.push_back(usSince(start, perRound));
  }
  ::close(bare);

  auto add = [&c](const char* name, const char* baselineName, std::vector<double> samples,
                  std::vector<double> base) {
    Figure& f = c.report.add("ledger", name, "us", baselineName);
    f.plugin = summarize(std::move(samples));
    f.baseline = summarize(std::move(base));
    f.target = "median <= 5 us";
    f.met = f.plugin.median <= 5.0;
    c.report.printRow(stdout, f);
  };
  add("mark(\"feedback shown\", volume), per event", "bare sendto", marks, sends);
  add("Ledger::stamp, per event", "steady_clock::now", stamps, clocks);
}
