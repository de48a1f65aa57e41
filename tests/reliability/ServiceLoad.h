// The well-behaved side of the reliability tests: a plug-in serving on a free
// port against the fake host, a host thread that drives its steps at a fixed
// TR and times each step, clients that keep asking for ROI means and check
// every answer, and clients that count the step notifications they receive.
// Everything connects to 127.0.0.1 and every wait has a time-out.
#pragma once

#include <QByteArray>
#include <QList>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "plugin/TcpIpExport.h"
#include "tests/support/LoopbackClient.h"

namespace load {

// Sanitizer runtimes keep shadow memory, quarantines and per-thread state, so
// memory bounds are looser in those builds.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define NMB_LOAD_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(NMB_LOAD_SANITIZED)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif

// Resident set and thread count of this process, from /proc/self.
long residentKb();
int threadCount();

// Every request name the plug-in answers.
std::vector<const char*> requestNames();
// The ROI mean the fake host reports for ROI `roi` in these tests.
float roiMeanOf(int roi);
// Puts `rois` single-voxel ROIs with the means above into the fake host.
void installRois(int rois);

// A loop on a thread of its own: what the clients and the host stepper below
// share.  A subclass starts its loop at the end of its constructor, once its
// members exist, and stops it first thing in its destructor.
class Background {
 public:
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  // Asks the loop to end (it looks between two rounds) and waits for it.
  void stop() {
    stopEarly();
    join();
  }
  // Asks the loop to end without waiting.
  void stopEarly() { stopping = true; }

 protected:
  Background() = default;
  ~Background() { stop(); }
  void start(std::function<void()> loop) { thread = std::thread(std::move(loop)); }
  void join() {
    if (thread.joinable()) thread.join();
  }
  std::atomic<bool> stopping{false};

 private:
  std::thread thread;
};

// Asks for the means of all ROIs in turn until stopped.
class RoiMeanClient : public Background {
 public:
  RoiMeanClient(quint16 port, int rois);
  ~RoiMeanClient() { stop(); }
  long replies() const { return answered.load(); }
  long failures() const { return failed.load(); }
  long maxLatencyMs() const { return maxLatency.load(); }

 private:
  void run();
  quint16 port;
  int rois;
  std::atomic<long> answered{0}, failed{0}, maxLatency{0};
};

// An execute client counting the notifications it receives.
class NotificationCounter : public Background {
 public:
  explicit NotificationCounter(quint16 port);
  ~NotificationCounter() { stop(); }
  // True once the handshake was answered.
  bool connected() const { return ready.load(); }
  long preSteps() const { return pre.load(); }
  long postSteps() const { return post.load(); }
  long postRuns() const { return runs.load(); }
  long malformed() const { return bad.load(); }

 private:
  void run();
  quint16 port;
  std::atomic<bool> ready{false};
  std::atomic<long> pre{0}, post{0}, runs{0}, bad{0};
};

// Drives `volumes` steps of a run (standing in for Nimbrel's thread), one
// every `trMs`, and records the longest step call.
class HostStepper : public Background {
 public:
  HostStepper(TcpIpExport& plugin, int volumes, int trMs);
  ~HostStepper() { stop(); }
  // Waits for the run to end; returns the run's duration in ms.
  long finish();
  bool allReturnedTrue() const { return !falseReturned.load(); }
  long longestStepMs() const { return longestStep.load(); }
  int stepsDone() const { return steps.load(); }

 private:
  void run(int volumes, int trMs);
  TcpIpExport& plugin;
  std::atomic<bool> falseReturned{false};
  std::atomic<long> longestStep{0}, duration{0};
  std::atomic<int> steps{0};
};

}  // namespace load
