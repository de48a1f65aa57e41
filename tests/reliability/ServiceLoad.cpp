#include "tests/reliability/ServiceLoad.h"

#include <dirent.h>

#include <QDataStream>
#include <QElapsedTimer>
#include <QThread>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "protocol/ProtocolTexts.h"
#include "tests/support/FakeHost.h"

namespace load {

long residentKb() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long kb = -1;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "VmRSS: %ld kB", &kb) == 1) break;
  }
  std::fclose(status);
  return kb;
}

int threadCount() {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(tasks);
  return count;
}

std::vector<const char*> requestNames() {
  return {texts::request::kGetCurrentTimePoint,
          texts::request::kGetExpectedNrOfTimePoints,
          texts::request::kGetDimsOfFunctionalData,
          texts::request::kGetProjectName,
          texts::request::kGetWatchFolder,
          texts::request::kGetTargetFolder,
          texts::request::kGetFeedbackFolder,
          texts::request::kGetCurrentProtocolCondition,
          texts::request::kGetFullNrOfPredictors,
          texts::request::kGetCurrentNrOfPredictors,
          texts::request::kGetNrOfConfoundPredictors,
          texts::request::kGetValueOfDesignMatrix,
          texts::request::kGetNrOfContrasts,
          texts::request::kGetNrOfROIs,
          texts::request::kGetMeanOfROI,
          texts::request::kGetDetrendedValueOfROI,
          texts::request::kGetExistingMeansOfROI,
          texts::request::kGetMeanOfROIAtTimePoint,
          texts::request::kGetNrOfVoxelsOfROI,
          texts::request::kGetBetaOfROI,
          texts::request::kGetCoordsOfVoxelOfROI,
          texts::request::kGetAllCoordsOfVoxelsOfROI,
          texts::request::kGetValueOfVoxelAtTime,
          texts::request::kGetValueOfAllVoxelsAtTime,
          texts::request::kGetRawValueOfAllVoxelsAtTime,
          texts::request::kGetBetaOfVoxel,
          texts::request::kGetBetaMaps,
          texts::request::kGetMapValueOfVoxel,
          texts::request::kGetContrastMaps,
          texts::request::kGetNumberOfClasses,
          texts::request::kGetCurrentClassifierOutput,
          texts::request::kGetPearsonCorrelation,
          texts::request::kGetPearsonCorrelationAtTimePoint,
          texts::request::kGetPartialCorrelation,
          texts::request::kGetPartialCorrelationAtTimePoint,
          texts::request::kGetInstantProxyCorrelation,
          texts::request::kGetInstantProxyCorrelationAtTimePoint};
}

float roiMeanOf(int roi) { return 10.0f + 1.25f * float(roi); }

void installRois(int rois) {
  auto lock = FakeHost::lock();
  FakeHost::state().rois.clear();
  for (int i = 0; i < rois; ++i) {
    FakeHost::state().rois.push_back(FakeRoi{{{i % 2, 0, 0}}, roiMeanOf(i), 0.5f, {1.0f, 2.0f}, {}});
  }
}

RoiMeanClient::RoiMeanClient(quint16 port, int rois) : port(port), rois(rois) {
  start([this] { run(); });
}

void RoiMeanClient::run() {
  LoopbackClient client;
  if (!client.connectWithRetry(port) || !client.send(roleMessage(texts::kRequestRole)) ||
      client.receive(8 + 4 + 15 + 12).size() != 39) {
    ++failed;
    return;
  }
  for (int i = 0; !stopping; ++i) {
    const int roi = i % rois;
    QElapsedTimer timer;
    timer.start();
    if (!client.send(wire::requestFrame(texts::request::kGetMeanOfROI, {roi}))) {
      ++failed;
      return;
    }
    const QByteArray reply = client.receiveFrame();
    const long latency = long(timer.elapsed());
    if (latency > maxLatency) maxLatency = latency;
    wire::ReplyReader in(reply);
    const QByteArray name = in.text();
    const qint32 echoed = in.integer();
    const float value = in.real();
    if (reply.isEmpty() || name != texts::request::kGetMeanOfROI || echoed != roi ||
        value != roiMeanOf(roi) || !in.atEnd()) {
      ++failed;
      if (reply.isEmpty()) return;
    } else {
      ++answered;
    }
    // A client polling as fast as it can; a short pause keeps the two cores
    // for the code under test.
    QThread::usleep(500);
  }
}

NotificationCounter::NotificationCounter(quint16 port) : port(port) {
  start([this] { run(); });
}

void NotificationCounter::run() {
  LoopbackClient client;
  if (!client.connectWithRetry(port) || !client.send(roleMessage(texts::kExecuteRole)) ||
      client.receive(39).size() != 39) {
    ++bad;
    return;
  }
  ready = true;
  while (!stopping) {
    const QByteArray frame = client.receiveFrame(100);
    if (frame.isEmpty()) {
      if (!client.isOpen()) return;
      continue;
    }
    wire::ReplyReader in(frame);
    const QByteArray name = in.text();
    in.integer();
    if (!in.atEnd()) {
      ++bad;
      continue;
    }
    if (name == texts::kPreStepCalled) {
      ++pre;
    } else if (name == texts::kPostStepCalled) {
      ++post;
    } else if (name == texts::kPostRunCalled) {
      ++runs;
    } else {
      ++bad;
    }
  }
}

HostStepper::HostStepper(TcpIpExport& plugin, int volumes, int trMs) : plugin(plugin) {
  start([this, volumes, trMs] { run(volumes, trMs); });
}

long HostStepper::finish() {
  join();
  return duration.load();
}

void HostStepper::run(int volumes, int trMs) {
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  for (int t = 0; t < volumes && !stopping; ++t) {
    // The volume arrives on its TR; the steps themselves take what they take.
    std::this_thread::sleep_until(start + std::chrono::milliseconds(trMs) * t);
    {
      auto lock = FakeHost::lock();
      FakeHost::state().currentTimePoint = t + 1;
    }
    const auto before = clock::now();
    if (!plugin.executePreStep() || !plugin.executePostStep()) falseReturned = true;
    const long ms =
        long(std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - before).count());
    if (ms > longestStep) longestStep = ms;
    ++steps;
  }
  if (!stopping) std::this_thread::sleep_until(start + std::chrono::milliseconds(trMs) * volumes);
  if (!plugin.executePostRun()) falseReturned = true;
  duration = long(std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - start).count());
}

}  // namespace load
