// Connection set-up (connect to handshake answer) and the memory a connected
// client costs the host.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "bench/Benchmarks.h"
#include "bench/Loopback.h"
#include "nmbclient/Client.h"

extern char** environ;

namespace {

double connectOnce(std::uint16_t port) {
  const auto t0 = BenchClock::now();
  nmb::Client client("127.0.0.1", port, std::chrono::seconds(2));
  return microsecondsBetween(t0, client.lastReceiveTime());
}

// `count` clients connect at one signal; returns each one's time from the
// signal to its handshake answer.
std::vector<double> connectAtOnce(std::uint16_t port, int count) {
  std::mutex mutex;
  std::condition_variable go;
  bool started = false;
  BenchClock::time_point start;
  std::vector<double> times(static_cast<std::size_t>(count), -1.0);
  std::vector<std::unique_ptr<nmb::Client>> clients(static_cast<std::size_t>(count));
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      {
        std::unique_lock<std::mutex> lock(mutex);
        go.wait(lock, [&] { return started; });
      }
      try {
        clients[std::size_t(i)] = std::make_unique<nmb::Client>("127.0.0.1", port, std::chrono::seconds(5));
        times[std::size_t(i)] = microsecondsBetween(start, clients[std::size_t(i)]->lastReceiveTime());
      } catch (const std::exception& e) {
        std::fprintf(stderr, "connect: %s\n", e.what());
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  {
    std::lock_guard<std::mutex> lock(mutex);
    start = BenchClock::now();
    started = true;
  }
  go.notify_all();
  for (auto& t : threads) t.join();
  for (double t : times)
    if (t < 0) throw std::runtime_error("a simultaneous connection was not answered");
  return times;
}

}  // namespace

void benchConnections(BenchContext& c) {
  std::vector<double> plugin, baseline;
  const int single = c.options.reps(500, 30);
  for (int i = 0; i < single; ++i) {
    baseline.push_back(connectOnce(c.baseline.port()));
    plugin.push_back(connectOnce(c.plugin.port()));
  }
  Figure& f = c.report.add("connection", "connect to handshake answer, single", "us",
                           "minimal server: accept, thread, handshake");
  f.plugin = summarize(plugin);
  f.baseline = summarize(baseline);
  f.target = "median < 2000 us";
  f.met = f.plugin.median < 2000;
  c.report.printRow(stdout, f);

  std::vector<double> pluginEach, baselineEach, pluginAll, baselineAll;
  const int rounds = c.options.reps(20, 3);
  for (int r = 0; r < rounds; ++r) {
    for (bool isPlugin : {false, true}) {
      const std::vector<double> times = connectAtOnce(isPlugin ? c.plugin.port() : c.baseline.port(), 64);
      auto& each = isPlugin ? pluginEach : baselineEach;
      each.insert(each.end(), times.begin(), times.end());
      (isPlugin ? pluginAll : baselineAll).push_back(*std::max_element(times.begin(), times.end()));
      // Let the departed clients' channels be released before the next round.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  Figure& each = c.report.add("connection", "64 at once: each connection", "us",
                              "minimal server: accept, thread, handshake");
  each.plugin = summarize(pluginEach);
  each.baseline = summarize(baselineEach);
  c.report.printRow(stdout, each);
  Figure& all = c.report.add("connection", "64 at once: all answered (per round)", "us",
                             "minimal server: accept, thread, handshake");
  all.plugin = summarize(pluginAll);
  all.baseline = summarize(baselineAll);
  all.target = "every round < 100000 us";
  all.met = *std::max_element(pluginAll.begin(), pluginAll.end()) < 100000;
  all.details["worstRoundUs"] = *std::max_element(pluginAll.begin(), pluginAll.end());
  c.report.printRow(stdout, all);
}

int holdClients(int port, int count) {
  try {
    std::vector<std::unique_ptr<nmb::Client>> clients;
    for (int i = 0; i < count; ++i)
      clients.push_back(
          std::make_unique<nmb::Client>("127.0.0.1", std::uint16_t(port), std::chrono::seconds(5)));
    std::printf("ready\n");
    std::fflush(stdout);
    char byte;
    while (::read(0, &byte, 1) > 0) {
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "hold-clients: %s\n", e.what());
    return 1;
  }
  return 0;
}

namespace {

// Resident size of this process while a child process holds `count`
// connections to `port`.
double residentWithClients(const char* self, std::uint16_t port, int count) {
  int toChild[2], fromChild[2];
  if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  posix_spawn_file_actions_addclose(&actions, toChild[1]);
  posix_spawn_file_actions_addclose(&actions, fromChild[0]);
  const std::string portText = std::to_string(port), countText = std::to_string(count);
  char* argv[] = {const_cast<char*>(self), const_cast<char*>("--hold-clients"),
                  const_cast<char*>(portText.c_str()), const_cast<char*>(countText.c_str()), nullptr};
  pid_t child = 0;
  const int spawned = posix_spawn(&child, self, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  if (spawned != 0) throw std::runtime_error("cannot start the client process");
  char line[16] = {};
  const ssize_t n = ::read(fromChild[0], line, sizeof line - 1);
  // Both servers take their clients in within milliseconds; give them ample time.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double resident = residentBytes();
  ::close(toChild[1]);
  ::close(fromChild[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (n <= 0 || std::string(line).rfind("ready", 0) != 0) throw std::runtime_error("client process failed");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  return resident;
}

}  // namespace

void benchMemory(BenchContext& c, const char* self) {
  const int count = 64;
  // A first round lets both servers grow whatever pools they keep, so the
  // figures show the cost of the connections themselves.
  residentWithClients(self, c.plugin.port(), count);
  residentWithClients(self, c.baseline.port(), count);
  const double idle = residentBytes();
  const double withPlugin = residentWithClients(self, c.plugin.port(), count);
  const double idle2 = residentBytes();
  const double withBaseline = residentWithClients(self, c.baseline.port(), count);

  Figure& f = c.report.add("memory", "host RSS per connected client (64 clients)", "KiB",
                           "minimal thread-per-connection server");
  f.plugin = single((withPlugin - idle) / count / 1024.0);
  f.baseline = single((withBaseline - idle2) / count / 1024.0);
  f.details["hostRssNoClientsMiB"] = idle / (1024.0 * 1024.0);
  f.details["hostRss64PluginClientsMiB"] = withPlugin / (1024.0 * 1024.0);
  c.report.printRow(stdout, f);
}
