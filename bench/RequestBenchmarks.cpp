// Request round trips, large replies and correlation requests: a request
// client against the plug-in and against the baseline server that sends the
// very same reply bytes.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

#include "bench/BenchHost.h"
#include "bench/Benchmarks.h"
#include "bench/Loopback.h"
#include "plugin/HostFunctions.h"

namespace {

struct Batch {
  std::vector<double> latenciesUs;
  double seconds = 0;
  std::size_t requests = 0;
};

// `clients` connections each send `perClient` requests back to back after a
// common start; every round trip is timed.
// The warm-up replies must be `reply` (the plug-in's own answer), byte for
// byte but for values that may change between requests: the sizes must agree.
Batch runClients(std::uint16_t port, const std::string& request, const std::string& reply, int clients,
                 int perClient) {
  std::vector<std::unique_ptr<RawClient>> connections;
  for (int i = 0; i < clients; ++i) connections.push_back(std::make_unique<RawClient>(port));
  for (auto& c : connections)
    for (int i = 0; i < 5; ++i)
      if (!c->roundTrip(request) || c->body().size() + 8 != reply.size())
        throw std::runtime_error("warm-up request failed or got an unexpected reply");

  std::vector<std::vector<double>> latencies(static_cast<size_t>(clients));
  std::mutex mutex;
  std::condition_variable go;
  bool started = false;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      std::vector<double>& mine = latencies[size_t(i)];
      mine.reserve(size_t(perClient));
      {
        std::unique_lock<std::mutex> lock(mutex);
        go.wait(lock, [&] { return started; });
      }
      for (int r = 0; r < perClient; ++r) {
        const auto t0 = BenchClock::now();
        if (!connections[size_t(i)]->roundTrip(request)) {
          ++failures;
          return;
        }
        mine.push_back(microsecondsBetween(t0, BenchClock::now()));
      }
    });
  }
  // Let every thread reach the gate, so the start is common.
  std::this_thread::sleep_for(std::chrono::milliseconds(clients > 1 ? 20 : 1));
  const auto start = BenchClock::now();
  {
    std::lock_guard<std::mutex> lock(mutex);
    started = true;
  }
  go.notify_all();
  for (auto& t : threads) t.join();
  Batch batch;
  batch.seconds = std::chrono::duration<double>(BenchClock::now() - start).count();
  if (failures > 0) throw std::runtime_error("a request failed during the measurement");
  for (auto& l : latencies) batch.latenciesUs.insert(batch.latenciesUs.end(), l.begin(), l.end());
  batch.requests = batch.latenciesUs.size();
  return batch;
}

void append(Batch& into, const Batch& from) {
  into.latenciesUs.insert(into.latenciesUs.end(), from.latenciesUs.begin(), from.latenciesUs.end());
  into.seconds += from.seconds;
  into.requests += from.requests;
}

// One client on each server, taking turns request by request, so that
// whatever else the machine does affects both alike.
std::pair<Batch, Batch> interleaved(BenchContext& c, const std::string& request, const std::string& reply,
                                    int requests) {
  RawClient plugin(c.plugin.port()), baseline(c.baseline.port());
  for (RawClient* client : {&plugin, &baseline})
    for (int i = 0; i < 5; ++i)
      if (!client->roundTrip(request) || client->body().size() + 8 != reply.size())
        throw std::runtime_error("warm-up request failed or got an unexpected reply");
  Batch p, b;
  p.latenciesUs.reserve(std::size_t(requests));
  b.latenciesUs.reserve(std::size_t(requests));
  for (int r = 0; r < requests; ++r) {
    for (int side = 0; side < 2; ++side) {
      RawClient& client = (side == (r & 1)) ? plugin : baseline;
      Batch& batch = &client == &plugin ? p : b;
      const auto t0 = BenchClock::now();
      if (!client.roundTrip(request)) throw std::runtime_error("a request failed during the measurement");
      const double us = microsecondsBetween(t0, BenchClock::now());
      batch.latenciesUs.push_back(us);
      batch.seconds += us / 1e6;
    }
  }
  p.requests = b.requests = std::size_t(requests);
  return {p, b};
}

// Plug-in and baseline in alternating rounds, so drift affects both alike,
// each round on fresh connections (so fresh server threads): where the
// scheduler puts a thread decides much of its wake-up time, and each side
// should see as many placements as the other.  Within a round the requests
// follow each other as a client's would; taking turns request by request
// instead lets each server's thread fall idle between its requests, which on
// a virtual machine mostly measures the wake-up of an idle CPU.
std::pair<Batch, Batch> alternate(BenchContext& c, const std::string& request, const std::string& reply,
                                  int clients, int perClient, int rounds = 8) {
  rounds = std::max(1, std::min(rounds, perClient / 10));
  Batch plugin, baseline;
  for (int round = 0; round < rounds; ++round) {
    append(baseline, runClients(c.baseline.port(), request, reply, clients, perClient / rounds));
    append(plugin, runClients(c.plugin.port(), request, reply, clients, perClient / rounds));
  }
  return {plugin, baseline};
}

// Keeps the compiler from dropping a loop whose result nobody reads.
template <typename T>
inline void keep(T value) {
  asm volatile("" : : "g"(value) : "memory");
}

}  // namespace

void warmUp(BenchContext& c) {
  const std::string request = requestFrame("tGetNrOfROIs");
  const std::string reply = c.plugin.reply("tGetNrOfROIs");
  c.baseline.setReplies({{request, reply}});
  const auto until = BenchClock::now() + std::chrono::milliseconds(c.options.quick ? 200 : 1000);
  while (BenchClock::now() < until) interleaved(c, request, reply, 500);
}

void benchRoundTrips(BenchContext& c) {
  BenchHost::configureRois(8, 20);
  const std::string nrOfRois = requestFrame("tGetNrOfROIs");
  const std::string meanOfRoi = requestFrame("tGetMeanOfROI", {2});
  c.baseline.setReplies(
      {{nrOfRois, c.plugin.reply("tGetNrOfROIs")}, {meanOfRoi, c.plugin.reply("tGetMeanOfROI", {2})}});
  const std::string kinds[][3] = {{"tGetNrOfROIs", nrOfRois, c.plugin.reply("tGetNrOfROIs")},
                                  {"tGetMeanOfROI", meanOfRoi, c.plugin.reply("tGetMeanOfROI", {2})}};
  for (const auto& kind : kinds) {
    for (int clients : {1, 8, 64}) {
      const int perClient = clients == 1   ? c.options.reps(40000, 2000)
                            : clients == 8 ? c.options.reps(6000, 300)
                                           : c.options.reps(1000, 60);
      auto [plugin, baseline] = alternate(c, kind[1], kind[2], clients, perClient);
      const std::string who =
          kind[0] + ", " + std::to_string(clients) + (clients == 1 ? " client" : " clients");
      Figure& latency = c.report.add("round trip", who, "us", "minimal blocking server, same frames");
      latency.plugin = summarize(plugin.latenciesUs);
      latency.baseline = summarize(baseline.latenciesUs);
      if (clients == 1) {
        latency.target = "median <= 1.3x, p99 <= 2x";
        latency.met = latency.ratioMedian() <= 1.3 && latency.ratioP99() <= 2.0;
      }
      c.report.printRow(stdout, latency);
      if (clients > 1) {
        Figure& rate = c.report.add("request rate", who, "req/s", "minimal blocking server, same frames");
        rate.higherIsBetter = true;
        rate.plugin = single(double(plugin.requests) / plugin.seconds);
        rate.baseline = single(double(baseline.requests) / baseline.seconds);
        if (clients == 64) {
          rate.target = ">= 0.7x";
          rate.met = rate.ratioMedian() >= 0.7;
        }
        c.report.printRow(stdout, rate);
      }
    }
  }
}

void benchLargeReplies(BenchContext& c) {
  benchLargeRepliesAt(c, "large reply", 64, 64, 30, c.options.reps(600, 30), true);
  benchLargeRepliesAt(c, "large reply", 128, 128, 60, c.options.reps(120, 10), false);
}

void benchLargeRepliesAt(BenchContext& c, const char* group, int dimX, int dimY, int dimZ, int reps,
                         bool contrastMaps) {
  BenchHost::configureVolume(dimX, dimY, dimZ, 4, 2, 4);
  c.plugin.startRun();
  for (int i = 0; i < 2; ++i) {
    c.plugin.preStep();
    c.plugin.postStep();
  }
  const std::string dims = std::to_string(dimX) + "x" + std::to_string(dimY) + "x" + std::to_string(dimZ);
  const long voxels = long(dimX) * dimY * dimZ;

  // The loops of host calls the handlers make, one call per element, alone.
  // Each value is stored, as a handler must, but not converted.
  std::vector<float> sink(std::size_t(4 * voxels));
  auto timeCourseLoop = [voxels, &sink] {
    for (long i = 0; i < voxels; ++i) sink[std::size_t(i)] = hostFunctions.tGetTimeCourseData()[0][i];
    keep(sink.data());
  };
  auto betaLoop = [voxels, &sink] {
    for (long i = 0; i < 4 * voxels; ++i) sink[std::size_t(i)] = float(hostFunctions.tGetBetaMaps()[i]);
    keep(sink.data());
  };
  auto contrastLoop = [voxels, &sink] {
    for (long i = 0; i < voxels; ++i) sink[std::size_t(i)] = hostFunctions.tGetContrastMaps()[i];
    keep(sink.data());
  };
  struct Case {
    std::string name;
    std::vector<int> args;
    std::function<void()> hostLoop;
  };
  std::vector<Case> cases = {{"tGetRawValueOfAllVoxelsAtTime", {0}, nullptr},
                             {"tGetValueOfAllVoxelsAtTime", {0}, timeCourseLoop},
                             {"tGetBetaMaps", {}, betaLoop}};
  if (contrastMaps) cases.push_back({"tGetContrastMaps", {}, contrastLoop});

  for (const Case& k : cases) {
    const std::string request = requestFrame(k.name, k.args);
    const std::string reply = c.plugin.reply(k.name, k.args);
    c.baseline.setReplies({{request, reply}});
    auto [plugin, baseline] = alternate(c, request, reply, 1, reps);
    const std::string label = k.name + (k.name == "tGetBetaMaps" ? " (4 pred.) " : " ") + dims;
    Figure& f = c.report.add(group, label, "us",
                             k.hostLoop ? "same bytes from minimal server + host-call loop alone"
                                        : "same bytes from minimal server");
    f.details["replyBytes"] = double(reply.size());
    const Summary bytes = summarize(baseline.latenciesUs);
    f.details["baselineBytesMedianUs"] = bytes.median;
    f.plugin = summarize(plugin.latenciesUs);
    f.baseline = bytes;
    if (k.hostLoop) {
      std::vector<double> loop;
      for (int r = 0; r < reps; ++r) {
        const auto t0 = BenchClock::now();
        k.hostLoop();
        loop.push_back(microsecondsBetween(t0, BenchClock::now()));
      }
      const Summary loopSummary = summarize(loop);
      f.details["hostLoopMedianUs"] = loopSummary.median;
      f.baseline.median += loopSummary.median;
      f.baseline.p99 += loopSummary.p99;
      f.baseline.mean += loopSummary.mean;
    }
    f.target = "median <= 1.5x";
    f.met = f.ratioMedian() <= 1.5;
    c.report.printRow(stdout, f);
  }
  c.plugin.endRun();
}

void benchCorrelations(BenchContext& c) {
  BenchHost::configureVolume(64, 64, 30, 100, 2, 4);
  const int savedTimePoint = BenchHost::state().currentTimePoint.load();
  BenchHost::state().currentTimePoint = 100;
  for (const char* name : {"tGetPearsonCorrelation", "tGetPartialCorrelation"})
    for (int rois : {2, 8, 32})
      for (int window : {10, 40})
        for (int voxels : {10, 100})
          benchCorrelationAt(c, "correlation", name, rois, window, voxels, c.options.reps(100, 6));
  BenchHost::configureRois(8, 20);
  BenchHost::state().currentTimePoint = savedTimePoint;
}

void benchCorrelationAt(BenchContext& c, const char* group, const char* name, int rois, int window,
                        int voxels, int reps) {
  const int now = BenchHost::state().currentTimePoint.load();
  BenchHost::configureRois(rois, voxels);
  const std::string request = requestFrame(name, {window});
  const std::string reply = c.plugin.reply(name, {window});
  c.baseline.setReplies({{request, reply}});

  // Host calls of one request, counted on a request of its own so that
  // counting costs nothing in the timed ones.
  BenchHost::resetCounts();
  BenchHost::setCounting(true);
  {
    RawClient probe(c.plugin.port());
    probe.roundTrip(request);
  }
  BenchHost::setCounting(false);
  const auto byFunction = BenchHost::callsByFunction();
  std::uint64_t calls = 0;
  for (std::size_t i = 0; i < byFunction.size(); ++i) calls += byFunction[i];
  // The handshake of the probe made no host call; everything counted is
  // the request's.
  const double expected = double(rois) * window * (2.0 * voxels + 1);

  auto [plugin, baseline] = alternate(c, request, reply, 1, reps);

  // The same host calls in a plain loop: what the request costs at least.
  std::vector<double> loop;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = BenchClock::now();
    double sum = 0;
    for (int roi = 0; roi < rois; ++roi)
      for (int t = now - window; t < now; ++t) {
        const int n = hostFunctions.tGetNrOfVoxelsOfROI(roi);
        for (int v = 0; v < n; ++v) {
          int x, y, z;
          if (hostFunctions.tGetCoordsOfVoxelOfROI(roi, v, &x, &y, &z))
            sum += hostFunctions.tGetValueOfVoxelAtTime(x, y, z, t);
        }
      }
    keep(sum);
    loop.push_back(microsecondsBetween(t0, BenchClock::now()));
  }
  const Summary loopSummary = summarize(loop);

  const std::string label = std::string(name).substr(4) + " R=" + std::to_string(rois) +
                            " w=" + std::to_string(window) + " vox=" + std::to_string(voxels);
  Figure& f = c.report.add(group, label, "us", "host-call loop alone + minimal server round trip");
  f.plugin = summarize(plugin.latenciesUs);
  const Summary trip = summarize(baseline.latenciesUs);
  f.baseline = trip;
  f.baseline.median += loopSummary.median;
  f.baseline.p99 += loopSummary.p99;
  f.baseline.mean += loopSummary.mean;
  f.details["hostCalls"] = double(calls);
  f.details["expectedHostCalls"] = expected;
  f.details["hostLoopMedianUs"] = loopSummary.median;
  f.details["nsPerHostCall"] = 1000.0 * f.plugin.median / double(calls);
  f.target = "host calls = R*w*(2*vox+1) + O(1)";
  f.met = double(calls) >= expected && double(calls) <= expected + 8;
  c.report.printRow(stdout, f);
}
