// The host's side of a step: how long executePreStep and executePostStep keep
// Nimbrel's thread, how soon the execute clients have their notification, and
// how soon a feedback client holds the means of all ROIs.
//
// The baseline step does what a step cannot avoid: the same host calls (as
// counted in the plug-in's own step), the copy of the volume, and one plain
// send() of a ready notification frame per execute client.
#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

#include "bench/BenchHost.h"
#include "bench/Benchmarks.h"
#include "bench/Loopback.h"
#include "nmbclient/Client.h"
#include "nmbclient/Subscription.h"
#include "plugin/HostFunctions.h"
#include "plugin/TcpIpExport.h"

namespace {

template <typename T>
inline void keep(T value) {
  asm volatile("" : : "g"(value) : "memory");
}

std::string notificationFrame(const std::string& name, int value) {
  std::string body;
  auto put32 = [&body](std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) body.push_back(char(v >> shift));
  };
  put32(std::uint32_t(name.size() + 1));
  body += name;
  body.push_back('\0');
  put32(std::uint32_t(value));
  std::string frame;
  for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(char(std::uint64_t(body.size()) >> shift));
  return frame + body;
}

void patchValue(std::string& frame, int value) {
  const std::size_t at = frame.size() - 4;
  for (int i = 0; i < 4; ++i) frame[at + std::size_t(i)] = char(std::uint32_t(value) >> (24 - 8 * i));
}

// Replays the host calls the plug-in made in one step, by count, with
// plausible arguments and without anything around them.
class HostCallReplay {
 public:
  explicit HostCallReplay(const std::array<std::uint64_t, 45>& counts) {
    for (std::size_t i = 0; i < counts.size(); ++i)
      for (std::uint64_t k = 0; k < counts[i]; ++k) calls_.push_back(callFor(kHostFunctionNames[i]));
  }
  void run() const {
    for (auto call : calls_) call();
  }
  std::size_t size() const { return calls_.size(); }

 private:
  using Call = void (*)();
  static Call callFor(const std::string& name) {
    static int roi = 0;
    if (name == "tGetVersionOfNMB")
      return [] {
        int a, b, c;
        hostFunctions.tGetVersionOfNMB(&a, &b, &c);
        keep(a + b + c);
      };
    if (name == "tGetDimsOfFunctionalData")
      return [] {
        int a, b, c;
        hostFunctions.tGetDimsOfFunctionalData(&a, &b, &c);
        keep(a + b + c);
      };
    if (name == "tGetCurrentTimePoint") return [] { keep(hostFunctions.tGetCurrentTimePoint()); };
    if (name == "tGetExpectedNrOfTimePoints") return [] { keep(hostFunctions.tGetExpectedNrOfTimePoints()); };
    if (name == "tLogText")
      return [] { hostFunctions.tLogText("<b>12:00:00.000</b>: Executing pre-processing."); };
    if (name == "tGetTimeCourseData") return [] { keep(hostFunctions.tGetTimeCourseData()); };
    if (name == "tGetNrOfROIs") return [] { keep(hostFunctions.tGetNrOfROIs()); };
    if (name == "tGetMeanOfROI")
      return [] {
        keep(hostFunctions.tGetMeanOfROI(roi));
        roi = (roi + 1) % std::max(1, int(BenchHost::state().rois.size()));
      };
    if (name == "tGetDetrendedValueOfROI") return [] { keep(hostFunctions.tGetDetrendedValueOfROI(roi)); };
    return [] {};
  }
  std::vector<Call> calls_;
};

std::array<std::uint64_t, 45> countCalls(const std::function<void()>& step) {
  BenchHost::resetCounts();
  BenchHost::setCounting(true);
  step();
  BenchHost::setCounting(false);
  return BenchHost::callsByFunction();
}

// Waits until `counter` reaches `value`, sleeping between looks.
void awaitCount(const std::atomic<int>& counter, int value) {
  const auto limit = BenchClock::now() + std::chrono::seconds(10);
  while (counter.load() < value) {
    if (BenchClock::now() > limit) throw std::runtime_error("the client did not answer in time");
    std::this_thread::sleep_for(std::chrono::microseconds(20));
  }
}

// The notifications the execute clients have received.  The host's thread
// waits for a count without using the CPU, as Nimbrel waits for its next
// volume after a step: a wait that polled would take the CPU, many times per
// millisecond, from whatever delivers the notifications on a pinned run.
class Arrivals {
 public:
  // A receiver got one; the waiter is woken only when its count is reached.
  void add() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (++count_ >= awaited_) reached_.notify_one();
  }
  // Until `value` have arrived in all; throws after 10 s.
  void await(int value) {
    std::unique_lock<std::mutex> lock(mutex_);
    awaited_ = value;
    const bool reached = reached_.wait_for(lock, std::chrono::seconds(10), [&] { return count_ >= value; });
    awaited_ = std::numeric_limits<int>::max();
    if (!reached) throw std::runtime_error("execute clients did not receive a notification");
  }

 private:
  std::mutex mutex_;
  std::condition_variable reached_;
  int count_ = 0;
  int awaited_ = std::numeric_limits<int>::max();
};

std::optional<nmb::Notification> nextStepNotification(nmb::Subscription& s) {
  for (;;) {
    auto n = s.next(std::chrono::seconds(10));
    if (!n || n->isPreStep() || n->isPostStep()) return n;
  }
}

}  // namespace

void benchSteps(BenchContext& c) {
  const int steps = c.options.reps(500, 30);
  const int warmup = 3;
  BenchHost::configureVolume(64, 64, 30, steps + warmup + 2, 4, 4);
  BenchHost::configureRois(8, 20);
  const int voxels = 64 * 64 * 30;
  std::vector<short> baselineRaw(std::size_t(voxels) * std::size_t(steps + warmup + 2));

  for (int clients : {0, 1, 8, 64}) {
    c.plugin.startRun();
    // The step's host calls, counted in a step of its own.
    c.plugin.preStep();
    c.plugin.postStep();
    const HostCallReplay preCalls(countCalls([&] { c.plugin.preStep(); }));
    const HostCallReplay postCalls(countCalls([&] { c.plugin.postStep(); }));

    std::vector<std::unique_ptr<nmb::Subscription>> pluginSubs, baselineSubs;
    for (int i = 0; i < clients; ++i) {
      pluginSubs.push_back(std::make_unique<nmb::Subscription>("127.0.0.1", c.plugin.port()));
      baselineSubs.push_back(std::make_unique<nmb::Subscription>("127.0.0.1", c.baseline.port()));
    }
    // Both servers file an execute client a moment after its handshake.
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + clients * 2));

    Arrivals received;
    std::atomic<bool> failed{false};
    const int rounds = steps + warmup;
    std::vector<std::vector<BenchClock::time_point>> pluginArrivals(static_cast<std::size_t>(clients)),
        baselineArrivals(static_cast<std::size_t>(clients));
    std::vector<std::thread> receivers;
    for (int i = 0; i < clients; ++i) {
      receivers.emplace_back([&, i] {
        auto& mine = pluginArrivals[std::size_t(i)];
        auto& base = baselineArrivals[std::size_t(i)];
        for (int s = 0; s < rounds && !failed; ++s) {
          for (int kind = 0; kind < 4; ++kind) {
            nmb::Subscription& sub = kind < 2 ? *pluginSubs[std::size_t(i)] : *baselineSubs[std::size_t(i)];
            auto n = nextStepNotification(sub);
            if (!n) {
              failed = true;
              return;
            }
            if (kind == 1) mine.push_back(n->received);
            if (kind == 3) base.push_back(n->received);
            received.add();
          }
        }
      });
    }

    std::vector<double> pluginPre, pluginPost, basePre, basePost, pluginLatency, baseLatency;
    std::string preFrame = notificationFrame("PreStepCalled", 0);
    std::string postFrame = notificationFrame("PostStepCalled", 0);
    int expected = 0;
    try {
      for (int s = 0; s < rounds; ++s) {
        const bool timed = s >= warmup;
        // The plug-in's step.
        BenchHost::state().currentTimePoint.fetch_add(1);
        auto t0 = BenchClock::now();
        c.plugin.plugin().executePreStep();
        auto t1 = BenchClock::now();
        received.await(expected += clients);
        auto t2 = BenchClock::now();
        c.plugin.postStep();
        auto t3 = BenchClock::now();
        received.await(expected += clients);
        const auto pluginPostStart = t2;
        if (timed) {
          pluginPre.push_back(microsecondsBetween(t0, t1));
          pluginPost.push_back(microsecondsBetween(t2, t3));
        }

        // The baseline step at the same time point.
        const int timePoint = BenchHost::state().currentTimePoint.load();
        const int volumeIndex = timePoint - 1;
        t0 = BenchClock::now();
        preCalls.run();
        std::memcpy(baselineRaw.data() + std::size_t(volumeIndex) * std::size_t(voxels),
                    hostFunctions.tGetTimeCourseData()[volumeIndex], std::size_t(voxels) * sizeof(short));
        patchValue(preFrame, timePoint);
        c.baseline.sendToExecuteConnections(preFrame);
        t1 = BenchClock::now();
        received.await(expected += clients);
        t2 = BenchClock::now();
        postCalls.run();
        patchValue(postFrame, timePoint);
        c.baseline.sendToExecuteConnections(postFrame);
        t3 = BenchClock::now();
        received.await(expected += clients);
        if (timed) {
          basePre.push_back(microsecondsBetween(t0, t1));
          basePost.push_back(microsecondsBetween(t2, t3));
          for (int i = 0; i < clients; ++i) {
            pluginLatency.push_back(
                microsecondsBetween(pluginPostStart, pluginArrivals[std::size_t(i)].back()));
            baseLatency.push_back(microsecondsBetween(t2, baselineArrivals[std::size_t(i)].back()));
          }
        }
      }
    } catch (...) {
      failed = true;
      for (auto& s : pluginSubs) s->close();
      for (auto& s : baselineSubs) s->close();
      for (auto& t : receivers) t.join();
      throw;
    }
    for (auto& t : receivers) t.join();
    pluginSubs.clear();
    baselineSubs.clear();
    c.baseline.closeExecuteConnections();

    const std::string who = std::to_string(clients) + " execute clients";
    Figure& pre = c.report.add("host thread", "executePreStep 64x64x30, " + who, "us",
                               "memcpy of the volume + same host calls + one send per client");
    pre.plugin = summarize(pluginPre);
    pre.baseline = summarize(basePre);
    pre.details["hostCalls"] = double(preCalls.size());
    if (clients == 64) {
      pre.target = "median <= 1.5x";
      pre.met = pre.ratioMedian() <= 1.5;
    }
    c.report.printRow(stdout, pre);
    Figure& post = c.report.add("host thread", "executePostStep 8 ROIs, " + who, "us",
                                "same host calls + one send per client");
    post.plugin = summarize(pluginPost);
    post.baseline = summarize(basePost);
    post.details["hostCalls"] = double(postCalls.size());
    if (clients == 64) {
      post.target = "median <= 100 us";
      post.met = post.plugin.median <= 100;
    }
    c.report.printRow(stdout, post);
    if (clients > 0) {
      Figure& latency = c.report.add("notification", "PostStepCalled at each of " + who, "us",
                                     "one plain send per client from the host thread");
      latency.plugin = summarize(pluginLatency);
      latency.baseline = summarize(baseLatency);
      if (clients == 1) {
        latency.target = "median <= 1.2x";
        latency.met = latency.ratioMedian() <= 1.2;
      } else if (clients == 64) {
        latency.target = "p99 <= 1000 us";
        latency.met = latency.plugin.p99 <= 1000;
      }
      c.report.printRow(stdout, latency);
    }
  }
  c.plugin.endRun();
}

void benchFeedback(BenchContext& c) {
  const int steps = c.options.reps(400, 20);
  BenchHost::configureVolume(64, 64, 30, steps + 4, 4, 4);
  for (int rois : {8, 32}) {
    BenchHost::configureRois(rois, 20);
    std::map<std::string, std::string> replies;
    replies[requestFrame("tGetNrOfROIs")] = c.plugin.reply("tGetNrOfROIs");
    for (int i = 0; i < rois; ++i)
      replies[requestFrame("tGetMeanOfROI", {i})] = c.plugin.reply("tGetMeanOfROI", {i});
    c.baseline.setReplies(replies);

    for (bool pipelined : {false, true}) {
      c.plugin.startRun();
      nmb::Subscription pluginSteps("127.0.0.1", c.plugin.port());
      nmb::Client pluginClient("127.0.0.1", c.plugin.port());
      nmb::Subscription baselineSteps("127.0.0.1", c.baseline.port());
      nmb::Client baselineClient("127.0.0.1", c.baseline.port());
      std::this_thread::sleep_for(std::chrono::milliseconds(100));

      std::atomic<int> done{0};
      std::atomic<bool> failed{false};
      std::vector<BenchClock::time_point> pluginDone, baselineDone;
      // The straightforward client: wait for the post-step, ask the ROI
      // count, then each mean in turn (or all in one pipelined batch).
      auto feedbackLoop = [&](nmb::Subscription& s, nmb::Client& client,
                              std::vector<BenchClock::time_point>& out) {
        if (!s.waitForPostStep(std::chrono::seconds(10))) return false;
        if (pipelined) {
          keep(client.meansOfAllRois().size());
        } else {
          const int count = client.nrOfRois();
          float sum = 0;
          for (int i = 0; i < count; ++i) sum += client.meanOfRoi(i);
          keep(sum);
        }
        out.push_back(BenchClock::now());
        return true;
      };
      std::thread client([&] {
        try {
          for (int s = 0; s < steps + 2 && !failed; ++s) {
            if (!feedbackLoop(pluginSteps, pluginClient, pluginDone)) break;
            ++done;
            if (!feedbackLoop(baselineSteps, baselineClient, baselineDone)) break;
            ++done;
          }
        } catch (const std::exception& e) {
          std::fprintf(stderr, "feedback client: %s\n", e.what());
        }
        failed = true;
      });

      std::vector<double> pluginLatency, baselineLatency;
      std::string postFrame = notificationFrame("PostStepCalled", 0);
      std::unique_ptr<HostCallReplay> replay;
      try {
        for (int s = 0; s < steps + 2; ++s) {
          c.plugin.preStep();
          if (!replay) {
            replay = std::make_unique<HostCallReplay>(countCalls([&] { c.plugin.postStep(); }));
            awaitCount(done, 2 * s + 1);
          } else {
            const auto t0 = BenchClock::now();
            c.plugin.postStep();
            awaitCount(done, 2 * s + 1);
            if (s >= 2) pluginLatency.push_back(microsecondsBetween(t0, pluginDone.back()));
          }
          const auto t0 = BenchClock::now();
          replay->run();
          patchValue(postFrame, BenchHost::state().currentTimePoint.load());
          c.baseline.sendToExecuteConnections(postFrame);
          awaitCount(done, 2 * s + 2);
          if (s >= 2) baselineLatency.push_back(microsecondsBetween(t0, baselineDone.back()));
        }
      } catch (...) {
        failed = true;
        pluginSteps.close();
        baselineSteps.close();
        client.join();
        throw;
      }
      failed = true;
      client.join();
      c.baseline.closeExecuteConnections();

      Figure& f = c.report.add("feedback",
                               std::string(pipelined ? "meansOfAllRois (pipelined), " : "loop, ") +
                                   std::to_string(rois) + " ROIs: post-step to all means",
                               "us", "plain send + the same round trips to the minimal server");
      f.plugin = summarize(pluginLatency);
      f.baseline = summarize(baselineLatency);
      c.report.printRow(stdout, f);
    }
  }
  c.plugin.endRun();
}
