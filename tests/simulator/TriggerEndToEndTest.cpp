// The scanner's trigger and the start of a run, end to end: a stimulus
// program's view (the trigger tty and the UDP trigger) lined up against an
// execute client's notifications.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/ProtocolTexts.h"
#include "tests/simulator/SimProcess.h"
#include "tests/simulator/WireClient.h"

namespace {

double nowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Waits for the simulator's link to its trigger tty and opens it.
int openTriggerTty(const std::string& link, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 20) {
    const int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) return fd;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

// What reaches the stimulus program: tty bytes and datagrams, with arrival times.
struct TriggerLog {
  std::mutex mutex;
  std::vector<std::pair<double, char>> bytes;
  std::vector<std::pair<double, std::string>> datagrams;
};

void collectTriggers(int tty, int udp, std::atomic<bool>& stop, TriggerLog& log) {
  while (!stop.load()) {
    pollfd watched[2] = {{tty, POLLIN, 0}, {udp, POLLIN, 0}};
    if (poll(watched, udp >= 0 ? 2 : 1, 20) <= 0) continue;
    char data[512];
    if (watched[0].revents & POLLIN) {
      const ssize_t n = read(tty, data, sizeof data);
      std::lock_guard<std::mutex> lock(log.mutex);
      for (ssize_t i = 0; i < n; ++i) log.bytes.emplace_back(nowMs(), data[i]);
    }
    if (udp >= 0 && (watched[1].revents & POLLIN)) {
      const ssize_t n = recv(udp, data, sizeof data, 0);
      std::lock_guard<std::mutex> lock(log.mutex);
      if (n > 0) log.datagrams.emplace_back(nowMs(), std::string(data, static_cast<size_t>(n)));
    }
  }
}

int boundUdp(int port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<uint16_t>(port));
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The volume numbers of the console's notices that match `pattern`.
std::vector<int> noticedVolumes(const std::string& err, const std::string& pattern) {
  std::vector<int> volumes;
  const std::regex expression(pattern);
  for (std::sregex_iterator it(err.begin(), err.end(), expression), end; it != end; ++it)
    volumes.push_back(std::stoi((*it)[1]));
  return volumes;
}

std::string tempPath(const char* name) { return testing::TempDir() + name + std::to_string(getpid()); }

}  // namespace

TEST(SimulatorTrigger, TriggersLeadThePreStepsByTheProcessingDelayAndTheFaultsShowInTheCount) {
  const int port = freeTcpPort(), triggerPort = freeLoopbackPort(SOCK_DGRAM);
  const std::string link = tempPath("trigger-tty-");
  constexpr int kVolumes = 10, kDelayMs = 120;
  SimProcess sim({NMB_SIM_EXECUTABLE,
                  "--plugin",
                  NMB_SIM_PLUGIN,
                  "--exit-when-done",
                  "--linger-ms",
                  "300",
                  "--port",
                  std::to_string(port),
                  "--dims",
                  "8",
                  "8",
                  "4",
                  "--volumes",
                  std::to_string(kVolumes),
                  "--tr-ms",
                  "250",
                  "--trigger-tty",
                  link,
                  "--trigger-udp",
                  std::to_string(triggerPort),
                  "--processing-delay-ms",
                  std::to_string(kDelayMs),
                  "--start-on",
                  "clients=1",
                  "--faults",
                  "first-trigger-missed,missed-trigger=0.2,extra-trigger=0.2,seed=4"});
  const int tty = openTriggerTty(link, 10000);
  ASSERT_GE(tty, 0) << sim.err();
  const int udp = boundUdp(triggerPort);
  ASSERT_GE(udp, 0);
  TriggerLog log;
  std::atomic<bool> stop{false};
  std::thread listener(collectTriggers, tty, udp, std::ref(stop), std::ref(log));

  // Later than one TR after the pre-run: without --start-on the first volume
  // would be gone.
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  WireClient execute;
  ASSERT_TRUE(execute.connect(port, texts::kExecuteRole, 10000)) << sim.err();
  std::map<int, double> preSteps;
  std::vector<uint8_t> body;
  while (execute.receive(body, 10000)) {
    BodyReader reader(body);
    const std::string name = reader.text();
    const int timePoint = reader.int32();
    if (name == texts::kPreStepCalled) preSteps.emplace(timePoint, nowMs());
    if (name == texts::kPostRunCalled) break;
  }
  EXPECT_EQ(sim.wait(20000), 0) << sim.err();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  stop = true;
  listener.join();
  close(tty);
  close(udp);

  ASSERT_EQ(preSteps.size(), static_cast<size_t>(kVolumes)) << "every volume live, volume 1 included";
  EXPECT_EQ(preSteps.begin()->first, 1);
  const std::vector<int> missed = noticedVolumes(sim.err(), "no trigger for volume ([0-9]+)");
  const std::vector<int> extra = noticedVolumes(sim.err(), "a second trigger for volume ([0-9]+)");
  ASSERT_FALSE(missed.empty());
  EXPECT_EQ(missed.front(), 1) << "first-trigger-missed";
  ASSERT_GT(missed.size(), 1u) << "the seed gives more missed triggers: " << sim.err();
  ASSERT_FALSE(extra.empty()) << "the seed gives extra triggers: " << sim.err();

  // The tty: one "5" per trigger sent.
  EXPECT_EQ(log.bytes.size(), kVolumes - missed.size() + extra.size());
  for (const auto& byte : log.bytes) EXPECT_EQ(byte.second, '5');

  // The datagrams: each trigger's run and volume, the extra one with its
  // volume's number again, and the one on time D ms before its volume's
  // pre-step.
  std::map<int, int> perVolume;
  std::vector<double> lags;
  const std::regex format("Nimbrel Trigger: 1 ([0-9]+) [0-9]+\\.[0-9]{6}");
  for (const auto& [at, text] : log.datagrams) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(text, match, format)) << text;
    const int volume = std::stoi(match[1]);
    const bool onTime = std::count(missed.begin(), missed.end(), volume) == 0;  // else the extra one
    if (perVolume[volume]++ == 0 && onTime && preSteps.count(volume) != 0)
      lags.push_back(preSteps[volume] - at);
  }
  for (int v = 1; v <= kVolumes; ++v) {
    SCOPED_TRACE("volume " + std::to_string(v));
    const int expected =
        1 - int(std::count(missed.begin(), missed.end(), v)) + int(std::count(extra.begin(), extra.end(), v));
    EXPECT_EQ(perVolume[v], expected);
  }
  ASSERT_FALSE(lags.empty());
  std::sort(lags.begin(), lags.end());
  EXPECT_GE(lags.front(), kDelayMs - 40.0) << "a pre-step comes the processing delay after its trigger";
  const double median = lags[lags.size() / 2];
  EXPECT_GT(median, kDelayMs - 10.0);
  EXPECT_LT(median, kDelayMs + 80.0);
}

TEST(SimulatorTrigger, TriggerAckStartsTheRunWhenTheStimulusProgramAnswers) {
  const int port = freeTcpPort();
  const std::string link = tempPath("trigger-ack-");
  SimProcess sim({NMB_SIM_EXECUTABLE,
                  "--plugin",
                  NMB_SIM_PLUGIN,
                  "--exit-when-done",
                  "--linger-ms",
                  "200",
                  "--port",
                  std::to_string(port),
                  "--dims",
                  "8",
                  "8",
                  "4",
                  "--volumes",
                  "3",
                  "--tr-ms",
                  "100",
                  "--trigger-tty",
                  link,
                  "--trigger-byte",
                  "t",
                  "--start-on",
                  "trigger-ack"});
  const int tty = openTriggerTty(link, 10000);
  ASSERT_GE(tty, 0) << sim.err();
  WireClient execute;
  ASSERT_TRUE(execute.connect(port, texts::kExecuteRole, 10000)) << sim.err();
  std::vector<uint8_t> body;
  EXPECT_FALSE(execute.receive(body, 700)) << "the run waits for the answer";
  char byte = 0;
  EXPECT_LT(read(tty, &byte, 1), 1) << "no trigger before the answer";
  ASSERT_EQ(write(tty, "r", 1), 1);
  int preSteps = 0;
  while (execute.receive(body, 5000)) {
    BodyReader reader(body);
    const std::string name = reader.text();
    preSteps += name == texts::kPreStepCalled;
    if (name == texts::kPostRunCalled) break;
  }
  EXPECT_EQ(preSteps, 3);
  std::string triggers;
  pollfd watched{tty, POLLIN, 0};
  while (triggers.size() < 3 && poll(&watched, 1, 2000) > 0 && read(tty, &byte, 1) == 1) triggers += byte;
  EXPECT_EQ(triggers, "ttt");
  close(tty);
  EXPECT_EQ(sim.wait(10000), 0) << sim.err();
  EXPECT_NE(access(link.c_str(), F_OK), 0) << "the link goes with the simulator";
}

TEST(SimulatorTrigger, TheCppTriggerFollowerNamesEachVolumesTriggerAndTheMissingOnes) {
  const int port = freeTcpPort(), triggerPort = freeLoopbackPort(SOCK_DGRAM);
  SimProcess sim({NMB_SIM_EXECUTABLE,
                  "--plugin",
                  NMB_SIM_PLUGIN,
                  "--exit-when-done",
                  "--linger-ms",
                  "500",
                  "--port",
                  std::to_string(port),
                  "--dims",
                  "8",
                  "8",
                  "4",
                  "--volumes",
                  "8",
                  "--tr-ms",
                  "200",
                  "--trigger-udp",
                  std::to_string(triggerPort),
                  "--processing-delay-ms",
                  "60",
                  "--start-on",
                  "clients=1",
                  "--faults",
                  "first-trigger-missed,missed-trigger=0.2,seed=4"});
  SimProcess follower({NMB_TRIGGER_FOLLOWER, "--trigger-port", std::to_string(triggerPort), "--wait", "10",
                       "127.0.0.1", std::to_string(port)});
  ASSERT_EQ(follower.wait(30000), 0) << follower.err();
  EXPECT_EQ(sim.wait(10000), 0) << sim.err();
  const std::vector<int> missed = noticedVolumes(sim.err(), "no trigger for volume ([0-9]+)");
  ASSERT_GT(missed.size(), 1u) << sim.err();
  EXPECT_EQ(noticedVolumes(follower.out(), "volume +([0-9]+): no trigger \\(missed\\)"), missed)
      << follower.out();
  std::vector<int> followed = noticedVolumes(follower.out(), "volume +([0-9]+): trigger [0-9]+, pre-step");
  for (int v : missed) followed.push_back(v);
  std::sort(followed.begin(), followed.end());
  EXPECT_EQ(followed, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8})) << follower.out();
  EXPECT_NE(follower.out().find("run ended after 8 volumes: " + std::to_string(missed.size()) +
                                " without a trigger"),
            std::string::npos)
      << follower.out();
}

TEST(SimulatorTrigger, StartOnEnterWaitsForTheOperatorAndStartsWhenInputEnds) {
  // Standard input is /dev/null here: no Enter can come, and the run must
  // not hang on it.
  SimProcess sim({NMB_SIM_EXECUTABLE, "--plugin", NMB_SIM_PLUGIN, "--exit-when-done", "--linger-ms", "0",
                  "--port", std::to_string(freeTcpPort()), "--dims", "4", "4", "2", "--volumes", "2",
                  "--tr-ms", "50", "--start-on", "enter"});
  EXPECT_EQ(sim.wait(20000), 0) << sim.err();
  EXPECT_NE(sim.err().find("run 1 waits: press Enter to start it"), std::string::npos) << sim.err();
  EXPECT_NE(sim.err().find("standard input has ended: starting without Enter"), std::string::npos)
      << sim.err();
}
