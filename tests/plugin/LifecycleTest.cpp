// The run lifecycle against the fake host: log lines, the port dialog and its
// cancellation, and the run record it keeps.  (The host versions initPlugin
// accepts are tested with the host binding.)
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QTcpServer>
#include <QThread>
#include <QtEndian>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "analytics/RunRecord.h"
#include "plugin/HostFunctions.h"
#include "plugin/TcpIpExport.h"
#include "tests/support/FakeHost.h"
#include "tests/support/LoopbackClient.h"
#include "tests/support/RunRecordTestWriter.h"
#include "tests/support/Wire.h"

namespace {

const char kTime[] = "\\d\\d:\\d\\d:\\d\\d";
const char kStamp[] = "\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d";

void setTimePoint(int t) {
  auto hostLock = FakeHost::lock();
  FakeHost::state().currentTimePoint = t;
}

std::vector<std::string> logSince(size_t first) {
  const std::vector<std::string> lines = FakeHost::logLines();
  return std::vector<std::string>(lines.begin() + qMin(first, lines.size()), lines.end());
}

// Each line matched whole against its pattern.
void expectLines(const std::vector<std::string>& lines, const std::vector<std::string>& patterns) {
  ASSERT_EQ(lines.size(), patterns.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QString::fromStdString(patterns[i])));
    EXPECT_TRUE(pattern.match(QString::fromStdString(lines[i])).hasMatch())
        << "line " << i << ": " << lines[i] << "\n  expected: " << patterns[i];
  }
}

std::string escaped(const std::string& text) {
  return QRegularExpression::escape(QString::fromStdString(text)).toStdString();
}

std::vector<qint16> rawSamples(const TcpIpExport& plugin, qint64 first, qint64 count) {
  QByteArray bytes(int(count * 2), '\0');
  if (RunRecordReader(plugin).copyRawSamples(first, count, bytes.data()) != RunRecordReader::RawCopy::Copied)
    return {};
  std::vector<qint16> samples;
  for (qint64 i = 0; i < count; ++i) samples.push_back(qFromBigEndian<qint16>(bytes.constData() + 2 * i));
  return samples;
}

// The raw-volume request's reply for `timePoint`, as the executor builds it.
QByteArray rawReply(TcpIpExport& plugin, int timePoint) {
  return plugin.executeRequest(wire::request("tGetRawValueOfAllVoxelsAtTime", {timePoint}));
}

// This process's resident memory in bytes, or -1 where /proc does not say.
qint64 residentBytes() {
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return -1;
  long pages = 0, resident = -1;
  if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = -1;
  std::fclose(statm);
  return resident < 0 ? -1 : qint64(resident) * sysconf(_SC_PAGESIZE);
}

FakeRoi roi(float mean, float detrendedValue) {
  FakeRoi made;
  made.mean = mean;
  made.detrendedValue = detrendedValue;
  return made;
}

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeHost::reset();
    port = freeTcpPort();
    FakeHost::state().integerInput = port;
    FakeHost::fillTimeCourse(10);
    plugin = std::make_unique<TcpIpExport>();
    ASSERT_TRUE(plugin->initPlugin());
  }
  void TearDown() override {
    plugin.reset();
    // Tests that take functions away from the host put them back.
    bindHostFunctions();
  }
  void startRun() { ASSERT_TRUE(plugin->executePreRun(0)); }

  quint16 port = 0;
  std::unique_ptr<TcpIpExport> plugin;
};

}  // namespace

TEST_F(Lifecycle, EveryLogLineOfAWholeRun) {
  setTimePoint(0);
  startRun();
  const std::string p = std::to_string(port);
  expectLines(logSince(0),
              {
                  escaped("<b>Info</b> - Nimbrel version: 3.1.0"),
                  escaped("<b>Info</b> - Plugin version: 2.00"),
                  escaped("<b>Info</b> - Path to Nimbrel: /opt/nimbrel"),
                  escaped("<b>Info</b> - Path to Plugins: /opt/nimbrel/plugins"),
                  // Inside the test's network namespace only loopback exists.
                  escaped("<br><b>Info</b> - Listening on: <br>127.0.0.1 Port: <b>" + p + "</b><br>"),
                  escaped("<br><b>Info</b> - Listening on port: <b>" + p + "</b><br>"),
              });
  ASSERT_EQ(FakeHost::state().prompts.size(), 1u);
  EXPECT_EQ(FakeHost::state().prompts[0].prompt, "Define Port: ");
  EXPECT_EQ(FakeHost::state().prompts[0].defaultValue, 55555);
  EXPECT_EQ(FakeHost::state().prompts[0].minValue, 1);
  EXPECT_EQ(FakeHost::state().prompts[0].maxValue, 65535);
  EXPECT_TRUE(plugin->isRunning());

  const size_t runStart = FakeHost::logLines().size();
  for (int t = 1; t <= 2; ++t) {
    setTimePoint(t);
    ASSERT_TRUE(plugin->executePreStep());
    ASSERT_TRUE(plugin->executePostStep());
  }
  ASSERT_TRUE(plugin->executePostRun());
  expectLines(logSince(runStart),
              {
                  " ",
                  std::string("<b>") + kTime + "</b>: Experiment started\\.",
                  std::string("<b>") + kStamp + "</b>: Executing pre-processing\\.",
                  std::string("<b>") + kStamp + "</b>: Executing post-processing\\. \\(1\\)",
                  std::string("<b>") + kStamp + "</b>: Executing pre-processing\\.",
                  std::string("<b>") + kStamp + "</b>: Executing post-processing\\. \\(2\\)",
                  " ",
                  escaped("<b>Info</b> - Executed number of volumes: <b>2</b>"),
                  "<b>Info</b> - Execution time: <b>[0-9.e+-]+</b> seconds\\.",
                  " ",
                  std::string("<b>") + kTime + "</b>: Plugin completed processing\\.",
              });
}

TEST_F(Lifecycle, ATakenPortIsReportedOnceAndTheLaterSuccessAnnounced) {
  QTcpServer holder;
  ASSERT_TRUE(holder.listen(QHostAddress::Any, port));
  const size_t before = FakeHost::logLines().size();
  startRun();
  const std::string p = std::to_string(port);
  const std::string failure = "<b>Error</b> - Cannot listen on port <b>" + p + "</b>: .+\\. Clients cannot " +
                              "connect; the plug-in keeps trying every second\\.";
  const std::string listening = escaped("<br><b>Info</b> - Listening on port: <b>" + p + "</b><br>");
  auto count = [&](const std::string& pattern) {
    const QRegularExpression re(QRegularExpression::anchoredPattern(QString::fromStdString(pattern)));
    int n = 0;
    for (const std::string& line : logSince(before)) n += re.match(QString::fromStdString(line)).hasMatch();
    return n;
  };
  for (int waited = 0; waited < 3000 && count(failure) == 0; waited += 10) QThread::msleep(10);
  // Several retries later the failure is still reported once.
  QThread::msleep(2500);
  EXPECT_EQ(count(failure), 1) << "the worker's failure line is missing or repeated";
  EXPECT_EQ(count(listening), 1) << "only the pre-run's line so far";

  holder.close();
  for (int waited = 0; waited < 3000 && count(listening) < 2; waited += 10) QThread::msleep(10);
  EXPECT_EQ(count(listening), 2) << "the retry that succeeds is announced";
  LoopbackClient client;
  EXPECT_TRUE(client.connectWithRetry(port));
}

TEST_F(Lifecycle, ACancelledPortDialogLeavesOnlyTheTimePointTracked) {
  FakeHost::state().integerInput = 49151 + 65536;  // only the low 16 bits count
  ASSERT_TRUE(plugin->executePreRun(0));
  EXPECT_EQ(FakeHost::logLines().back(), "<b>Info</b> - User canceled plugin!");
  EXPECT_FALSE(plugin->isRunning());

  const size_t linesBefore = FakeHost::logLines().size();
  setTimePoint(4);
  const int callsBefore = FakeHost::totalCalls();
  EXPECT_TRUE(plugin->executePreStep());
  EXPECT_EQ(FakeHost::totalCalls(), callsBefore) << "a cancelled pre-step asks the host nothing";
  EXPECT_TRUE(plugin->executePostStep());
  EXPECT_EQ(RunRecordReader(*plugin).snapshot().storedTimePoint, 4);
  EXPECT_EQ(FakeHost::calls("tGetNrOfROIs"), 0);
  EXPECT_TRUE(plugin->executePostRun());
  EXPECT_EQ(FakeHost::logLines().size(), linesBefore);
  EXPECT_EQ(RunRecordReader(*plugin).snapshot().rawSampleCount, 0);
  EXPECT_TRUE(RunRecordReader(*plugin).snapshot().runStartPending);
}

TEST_F(Lifecycle, ACancelledPluginStaysCancelledForLaterPreRuns) {
  // Once before any worker runs, once after one was started: the worker
  // keeps running, and nothing a later pre-run does shows.
  for (const bool workerStarted : {false, true}) {
    SCOPED_TRACE(workerStarted ? "after a started worker" : "before any worker");
    FakeHost::reset();
    FakeHost::state().integerInput = port;
    TcpIpExport fresh;
    ASSERT_TRUE(fresh.initPlugin());
    if (workerStarted) {
      ASSERT_TRUE(fresh.executePreRun(0));
    }
    FakeHost::state().integerInput = 49151;
    ASSERT_TRUE(fresh.executePreRun(0));
    EXPECT_EQ(fresh.isRunning(), workerStarted);

    FakeHost::state().integerInput = port;
    const size_t linesBefore = FakeHost::logLines().size();
    const size_t promptsBefore = FakeHost::state().prompts.size();
    const int callsBefore = FakeHost::totalCalls();
    EXPECT_TRUE(fresh.executePreRun(0));
    EXPECT_EQ(FakeHost::logLines().size(), linesBefore) << "no lines";
    EXPECT_EQ(FakeHost::state().prompts.size(), promptsBefore) << "no port dialog";
    EXPECT_EQ(FakeHost::totalCalls(), callsBefore) << "the host is asked nothing";
    EXPECT_EQ(fresh.isRunning(), workerStarted) << "no worker is started; a running one keeps running";
  }
}

TEST_F(Lifecycle, ASecondRunStartsAfreshOnTheSameObject) {
  setTimePoint(3);
  startRun();
  EXPECT_EQ(RunRecordReader(*plugin).snapshot().storedTimePoint, 3) << "the pre-run stores the time point";
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    setTimePoint(1);
    const size_t before = FakeHost::logLines().size();
    ASSERT_TRUE(plugin->executePreStep());
    const RunRecordReader::Snapshot started = RunRecordReader(*plugin).snapshot();
    EXPECT_FALSE(started.runStartPending);
    EXPECT_EQ(started.storedTimePoint, 0);
    EXPECT_EQ(started.rawSampleCount, 10 * 4);
    EXPECT_EQ(logSince(before).size(), 3u) << "space, experiment started, pre-processing";
    ASSERT_TRUE(plugin->executePostStep());
    EXPECT_EQ(RunRecordReader(*plugin).snapshot().storedTimePoint, 1);
    ASSERT_TRUE(plugin->executePostRun());
    EXPECT_TRUE(RunRecordReader(*plugin).snapshot().runStartPending);
  }
}

TEST_F(Lifecycle, APostRunWithoutAnyPreStepReportsNoTime) {
  startRun();
  ASSERT_TRUE(plugin->executePostRun());
  const std::vector<std::string> lines = FakeHost::logLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "<b>Info</b> - Execution time: <b>0</b> seconds."),
            lines.end());
}

TEST_F(Lifecycle, TheRecordedVolumeDependsOnTheHostVersion) {
  struct Case {
    int minor, timePoint, volume;
  };
  // 3.0 counts time points from 0, 3.1 and later from 1.
  const Case cases[] = {{0, 1, 1}, {1, 1, 0}, {0, 0, 0}, {1, 3, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "3." << c.minor << " at " << c.timePoint);
    FakeHost::state().versionMinor = c.minor;
    TcpIpExport fresh;
    ASSERT_TRUE(fresh.initPlugin());
    ASSERT_TRUE(fresh.executePreRun(0));
    setTimePoint(c.timePoint);
    ASSERT_TRUE(fresh.executePreStep());
    // Sample i of volume t is 1 + 100 t + i; other volumes stay 0.
    for (int volume = 0; volume < 4; ++volume) {
      const qint16 first = volume == c.volume ? qint16(1 + 100 * volume) : 0;
      const std::vector<qint16> expected =
          volume == c.volume
              ? std::vector<qint16>{first, qint16(first + 1), qint16(first + 2), qint16(first + 3)}
              : std::vector<qint16>(4, 0);
      EXPECT_EQ(rawSamples(fresh, 4 * volume, 4), expected) << "volume " << volume;
    }
  }
}

TEST_F(Lifecycle, RawVolumesAreReusedGrownAndTruncatedBetweenRuns) {
  FakeHost::state().expectedTimePoints = 3;
  startRun();
  setTimePoint(1);
  ASSERT_TRUE(plugin->executePreStep());  // volume 0
  setTimePoint(2);
  ASSERT_TRUE(plugin->executePreStep());  // volume 1
  ASSERT_TRUE(plugin->executePostRun());
  EXPECT_EQ(RunRecordReader(*plugin).snapshot().rawSampleCount, 12);

  // Same size: the previous run's volumes stay until they are copied again.
  FakeHost::fillTimeCourse(10, 5000);
  setTimePoint(1);
  ASSERT_TRUE(plugin->executePreStep());
  EXPECT_EQ(rawSamples(*plugin, 0, 4), (std::vector<qint16>{5000, 5001, 5002, 5003}));
  EXPECT_EQ(rawSamples(*plugin, 4, 4), (std::vector<qint16>{101, 102, 103, 104}));
  ASSERT_TRUE(plugin->executePostRun());

  // Larger: the old entries are kept, the new ones are 0.
  FakeHost::state().expectedTimePoints = 5;
  setTimePoint(5);
  ASSERT_TRUE(plugin->executePreStep());  // volume 4
  EXPECT_EQ(RunRecordReader(*plugin).snapshot().rawSampleCount, 20);
  EXPECT_EQ(rawSamples(*plugin, 4, 4), (std::vector<qint16>{101, 102, 103, 104}));
  EXPECT_EQ(rawSamples(*plugin, 8, 8), std::vector<qint16>(8, 0));
  EXPECT_EQ(rawSamples(*plugin, 16, 4), (std::vector<qint16>{5400, 5401, 5402, 5403}));
  ASSERT_TRUE(plugin->executePostRun());

  // Smaller: truncated.
  FakeHost::state().expectedTimePoints = 1;
  setTimePoint(1);
  ASSERT_TRUE(plugin->executePreStep());
  EXPECT_EQ(RunRecordReader(*plugin).snapshot().rawSampleCount, 4);
  EXPECT_TRUE(rawSamples(*plugin, 4, 1).empty());
}

TEST_F(Lifecycle, AVolumeOutsideThePreparedBufferIsSkipped) {
  FakeHost::state().expectedTimePoints = 2;
  startRun();
  setTimePoint(0);  // a 3.1 host: volume -1
  ASSERT_TRUE(plugin->executePreStep());
  setTimePoint(3);  // volume 2 of a run expected to have 2
  ASSERT_TRUE(plugin->executePreStep());
  setTimePoint(9);
  ASSERT_TRUE(plugin->executePreStep());
  EXPECT_EQ(RunRecordReader(*plugin).snapshot().rawSampleCount, 8);
  EXPECT_EQ(rawSamples(*plugin, 0, 8), std::vector<qint16>(8, 0));

  // A host that hands out no time-course table.
  FakeHost::state().nullArrays = true;
  setTimePoint(1);
  ASSERT_TRUE(plugin->executePreStep());
  EXPECT_EQ(rawSamples(*plugin, 0, 4), std::vector<qint16>(4, 0));
}

TEST_F(Lifecycle, RoiValuesFollowAChangingRoiCount) {
  FakeHost::state().rois = {roi(1.5f, -1.5f), roi(2.5f, -2.5f), roi(3.5f, -3.5f)};
  startRun();
  EXPECT_FALSE(RunRecordReader(*plugin).storedRoiMean(0).has_value()) << "empty before the first post-step";
  setTimePoint(1);
  ASSERT_TRUE(plugin->executePreStep());
  ASSERT_TRUE(plugin->executePostStep());
  EXPECT_EQ(RunRecordReader(*plugin).storedRoiMean(2), 3.5f);
  EXPECT_EQ(RunRecordReader(*plugin).storedDetrendedValue(2), -3.5f);

  {
    auto hostLock = FakeHost::lock();
    FakeHost::state().rois = {roi(7.0f, -7.0f)};
  }
  ASSERT_TRUE(plugin->executePostStep());
  EXPECT_EQ(RunRecordReader(*plugin).storedRoiMean(0), 7.0f);
  EXPECT_EQ(RunRecordReader(*plugin).storedDetrendedValue(0), -7.0f);
  EXPECT_FALSE(RunRecordReader(*plugin).storedRoiMean(1).has_value());
  EXPECT_FALSE(RunRecordReader(*plugin).storedDetrendedValue(1).has_value());
}

TEST_F(Lifecycle, AHostLackingFunctionsDoesNotStopTheRun) {
  startRun();
  hostFunctions.tLogText = nullptr;
  hostFunctions.tGetDimsOfFunctionalData = nullptr;
  hostFunctions.tGetTimeCourseData = nullptr;
  hostFunctions.tGetNrOfROIs = nullptr;
  hostFunctions.tGetMeanOfROI = nullptr;
  hostFunctions.tGetCurrentTimePoint = nullptr;
  hostFunctions.tGetExpectedNrOfTimePoints = nullptr;
  const size_t lines = FakeHost::logLines().size();
  EXPECT_TRUE(plugin->executePreStep());
  EXPECT_TRUE(plugin->executePostStep());
  EXPECT_TRUE(plugin->executePostRun());
  EXPECT_EQ(FakeHost::logLines().size(), lines);
  EXPECT_EQ(RunRecordReader(*plugin).snapshot().rawSampleCount, 0);
}

TEST_F(Lifecycle, ARunOfMoreThanTwoToTheThirtySamplesKeepsItsFirstAndLastVolume) {
  // 1,025 volumes of 2^20 voxels, all one volume in the host's table.
  const int volumes = 1025;
  std::vector<short> volume(size_t(1) << 20);
  for (size_t i = 0; i < volume.size(); ++i) volume[i] = short(i * 31);
  {
    auto hostLock = FakeHost::lock();
    FakeHostState& s = FakeHost::state();
    s.dimX = s.dimY = 1024;
    s.dimZ = 1;
    s.expectedTimePoints = volumes;
    s.sharedTimeCourse.assign(size_t(volumes), volume.data());
  }
  startRun();
  for (int timePoint : {1, volumes}) {
    setTimePoint(timePoint);
    ASSERT_TRUE(plugin->executePreStep());
    ASSERT_TRUE(plugin->executePostStep());
  }
  EXPECT_GT(RunRecordReader(*plugin).snapshot().rawSampleCount, qint64(1) << 30);
  for (int timePoint : {0, volumes - 1}) {
    SCOPED_TRACE(timePoint);
    const QByteArray reply = rawReply(*plugin, timePoint);
    ASSERT_TRUE(wire::isSuccessReply(reply, "tGetRawValueOfAllVoxelsAtTime", 4 + 2 * int(volume.size())));
    const char* samples = reply.constData() + reply.size() - 2 * int(volume.size());
    for (size_t i : {size_t(0), size_t(1), volume.size() - 1})
      EXPECT_EQ(qFromBigEndian<qint16>(samples + 2 * i), volume[i]) << "voxel " << i;
  }
  EXPECT_TRUE(wire::isSuccessReply(rawReply(*plugin, 1), "tGetRawValueOfAllVoxelsAtTime",
                                   4 + 2 * int(volume.size())))
      << "a volume never copied reads as zeros";
}

TEST_F(Lifecycle, TheFirstPreStepOfALongRunTakesTheMemoryOfOneVolume) {
  const qint64 before = residentBytes();
  if (before < 0) GTEST_SKIP() << "no /proc/self/statm";
  {
    auto hostLock = FakeHost::lock();
    FakeHostState& s = FakeHost::state();
    s.dimX = s.dimY = 104;
    s.dimZ = 72;
    s.expectedTimePoints = 1500;  // 2.3 GB of raw record
  }
  FakeHost::fillTimeCourse(1);
  startRun();
  const qint64 ready = residentBytes();
  setTimePoint(1);
  ASSERT_TRUE(plugin->executePreStep());
  EXPECT_LT(residentBytes() - ready, qint64(16) << 20);
}

TEST_F(Lifecycle, ARecordThatRunsOutOfMemorySaysSoOnceAndKeepsWhatItHad) {
  // Pieces of one 4-voxel volume; the second allocation fails.
  static int piecesLeft;
  piecesLeft = 1;
  RunRecordTestWriter::useRawAllocator(*plugin, 4, [](size_t samples) -> qint16* {
    return piecesLeft-- > 0 ? RawVolumeRecord::allocateZeroed(samples) : nullptr;
  });
  FakeHost::state().expectedTimePoints = 4;
  startRun();
  const size_t runStart = FakeHost::logLines().size();
  for (int t = 1; t <= 3; ++t) {
    setTimePoint(t);
    ASSERT_TRUE(plugin->executePreStep());
    ASSERT_TRUE(plugin->executePostStep());
  }
  std::vector<std::string> warnings;
  for (const std::string& line : logSince(runStart))
    if (line.find("Warning") != std::string::npos) warnings.push_back(line);
  EXPECT_EQ(warnings, std::vector<std::string>{
                          "<b>Warning</b> - Out of memory: raw volumes from time point 1 on are not kept."});
  EXPECT_TRUE(wire::isSuccessReply(rawReply(*plugin, 0), "tGetRawValueOfAllVoxelsAtTime", 4 + 8));
  for (int t : {1, 2})
    EXPECT_EQ(rawReply(*plugin, t),
              wire::errorReply("Raw data of this time point not kept: the plugin ran out of memory."))
        << "time point " << t;
  EXPECT_EQ(rawReply(*plugin, 3), wire::errorReply("TimePoint out of range"));
}
