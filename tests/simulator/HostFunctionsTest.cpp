// The simulator's exported host functions, called as the plug-in calls them,
// against their contracts and against the scan the host was given.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "simulator/HostExports.h"
#include "simulator/SimHost.h"
#include "simulator/SyntheticScan.h"

namespace {

struct TestScan {
  SyntheticScanSettings settings;
  std::unique_ptr<Protocol> protocol;
  std::vector<Roi> rois;
  std::unique_ptr<SyntheticScan> scan;
};

// A small synthetic scan configured into the one host.
std::unique_ptr<TestScan> setUpHost(int major, int minor, int volumes, double noise, int classes = 0,
                                    int conditions = 1) {
  auto s = std::make_unique<TestScan>();
  s->settings.dims = Dims{12, 10, 6};
  s->settings.volumes = volumes;
  s->settings.noise = noise;
  s->settings.seed = 5;
  s->protocol = std::make_unique<Protocol>(conditions, 8, volumes, 2.0);
  s->rois = SyntheticScan::defaultRois(s->settings.dims, 2);
  s->scan = std::make_unique<SyntheticScan>(s->settings, s->rois, *s->protocol);
  HostSettings h;
  h.versionMajor = major;
  h.versionMinor = minor;
  h.projectName = "Demo";
  h.watchFolder = "/data/watch";
  h.programFolder = std::string(600, 'p');
  h.classes = classes;
  h.classifierLag = 2;
  SimHost::instance().configure(h, s->scan.get(), s->protocol.get(), s->rois, volumes);
  SimHost::instance().beginRun(0);
  return s;
}

void step() {
  ASSERT_TRUE(SimHost::instance().acquireVolume());
  SimHost::instance().processVolume();
}

}  // namespace

TEST(SimHostTime, Version31CountsFromOneAfterTheFirstVolume) {
  auto s = setUpHost(3, 1, 5, 1.0);
  EXPECT_EQ(tGetCurrentTimePoint(), 0);
  for (int n = 1; n <= 5; ++n) {
    step();
    EXPECT_EQ(tGetCurrentTimePoint(), n);
  }
  EXPECT_FALSE(SimHost::instance().acquireVolume()) << "a run has no more than its expected volumes";
  EXPECT_EQ(tGetCurrentTimePoint(), 5);
  EXPECT_EQ(tGetExpectedNrOfTimePoints(), 5);
}

TEST(SimHostTime, Version30CountsFromZeroAtTheFirstVolume) {
  auto s = setUpHost(3, 0, 5, 1.0);
  step();
  EXPECT_EQ(tGetCurrentTimePoint(), 0);
  step();
  EXPECT_EQ(tGetCurrentTimePoint(), 1);
  SimHost::instance().beginRun(1);
  EXPECT_EQ(tGetCurrentTimePoint(), 0) << "a new run starts counting again";
}

TEST(SimHostTime, VolumeOfTheLatestTimePointIsWhatThePreStepCopies) {
  // 3.1 copies volume tp - 1, 3.0 volume tp: both must be the newest volume.
  for (int minor : {0, 1}) {
    auto s = setUpHost(3, minor, 4, 3.0);
    std::vector<short> expected(static_cast<size_t>(s->settings.dims.voxels()));
    for (int v = 0; v < 3; ++v) {
      step();
      const int index = minor >= 1 ? tGetCurrentTimePoint() - 1 : tGetCurrentTimePoint();
      s->scan->volume(0, v, expected.data());
      short** table = tGetTimeCourseData();
      ASSERT_NE(table, nullptr);
      EXPECT_EQ(std::memcmp(table[index], expected.data(), expected.size() * sizeof(short)), 0)
          << "3." << minor << " volume " << v;
    }
  }
}

TEST(SimHostData, DimensionsAndVoxelValuesFollowTheScan) {
  auto s = setUpHost(3, 1, 6, 3.0);
  int x = 0, y = 0, z = 0;
  tGetDimsOfFunctionalData(&x, &y, &z);
  EXPECT_EQ(x, 12);
  EXPECT_EQ(y, 10);
  EXPECT_EQ(z, 6);
  step();
  step();
  short** table = tGetTimeCourseData();
  short* firstRow = table[0];
  std::vector<short> volume(static_cast<size_t>(x * y * z));
  s->scan->volume(0, 1, volume.data());
  for (int k = 0; k < z; ++k)
    for (int j = 0; j < y; ++j)
      for (int i = 0; i < x; ++i) {
        const short sample = volume[static_cast<size_t>(i + x * (j + y * k))];
        ASSERT_EQ(tGetValueOfVoxelAtTime(i, j, k, 1), static_cast<float>(sample));
        ASSERT_EQ(table[1][i + x * (j + y * k)], sample);
      }
  EXPECT_EQ(tGetValueOfVoxelAtTime(12, 0, 0, 0), 0.0f);
  EXPECT_EQ(tGetValueOfVoxelAtTime(0, 0, 0, 2), 0.0f) << "no data for a volume that has not arrived";
  EXPECT_EQ(tGetValueOfVoxelAtTime(0, 0, 0, -1), 0.0f);
  step();
  EXPECT_EQ(tGetTimeCourseData()[0], firstRow) << "rows handed out stay where they are";
}

TEST(SimHostRois, VoxelCoordinatesLieInsideTheVolume) {
  auto s = setUpHost(3, 1, 3, 1.0);
  ASSERT_EQ(tGetNrOfROIs(), 2);
  for (int r = 0; r < 2; ++r) {
    const int n = tGetNrOfVoxelsOfROI(r);
    ASSERT_GT(n, 0);
    for (int v = 0; v < n; ++v) {
      int x = -1, y = -1, z = -1;
      ASSERT_TRUE(tGetCoordsOfVoxelOfROI(r, v, &x, &y, &z));
      EXPECT_TRUE(x >= 0 && x < 12 && y >= 0 && y < 10 && z >= 0 && z < 6) << x << " " << y << " " << z;
    }
    int x, y, z;
    EXPECT_FALSE(tGetCoordsOfVoxelOfROI(r, n, &x, &y, &z));
    EXPECT_FALSE(tGetCoordsOfVoxelOfROI(r, -1, &x, &y, &z));
  }
  int x, y, z;
  EXPECT_FALSE(tGetCoordsOfVoxelOfROI(2, 0, &x, &y, &z));
  EXPECT_EQ(tGetNrOfVoxelsOfROI(2), 0);
  EXPECT_EQ(tGetMeanOfROI(-1), 0.0f);
}

TEST(SimHostRois, MeanIsTheMeanOfTheRoisVoxelValues) {
  auto s = setUpHost(3, 1, 10, 8.0);
  for (int v = 0; v < 10; ++v) {
    step();
    for (int r = 0; r < tGetNrOfROIs(); ++r) {
      double sum = 0.0;
      const int n = tGetNrOfVoxelsOfROI(r);
      for (int k = 0; k < n; ++k) {
        int x, y, z;
        ASSERT_TRUE(tGetCoordsOfVoxelOfROI(r, k, &x, &y, &z));
        sum += tGetValueOfVoxelAtTime(x, y, z, tGetCurrentTimePoint() - 1);
      }
      EXPECT_NEAR(tGetMeanOfROI(r), sum / n, 1e-3) << "ROI " << r << " volume " << v;
    }
  }
}

TEST(SimHostGlm, BetasRecoverTheTaskEffectInTheActiveRoiOnly) {
  // The task beta of ROI 0 is the activation (a percentage) of its voxels'
  // baseline; the control ROI 1 has none.
  auto s = setUpHost(3, 1, 96, 4.0);
  for (int v = 0; v < 96; ++v) step();
  ASSERT_EQ(tGetFullNrOfPredictors(), 3);
  ASSERT_EQ(tGetCurrentNrOfPredictors(), 3);
  EXPECT_EQ(tGetNrOfConfoundPredictors(), 2);
  double baseline = 0.0;
  for (int i : s->rois[0].indices) baseline += s->scan->baseline(i);
  baseline /= static_cast<double>(s->rois[0].indices.size());
  const double effect = s->settings.activationPercent / 100.0 * baseline;
  EXPECT_NEAR(tGetBetaOfROI(0, 0), effect, 0.1 * effect);
  EXPECT_NEAR(tGetBetaOfROI(1, 0), 0.0, 0.1 * effect);
  // The constant's beta is the baseline level (mid-run drift included).
  EXPECT_NEAR(tGetBetaOfROI(0, 2), baseline, 0.02 * baseline);

  // Maps and single-voxel answers are the same numbers.
  const int voxels = 12 * 10 * 6;
  const double* betas = tGetBetaMaps();
  const float* tmaps = tGetContrastMaps();
  ASSERT_EQ(tGetNrOfContrasts(), 1);
  const Coord active = s->rois[0].voxels[0];
  const Coord control = s->rois[1].voxels[0];
  const int ai = active[0] + 12 * (active[1] + 10 * active[2]);
  for (int b = 0; b < 3; ++b)
    EXPECT_EQ(betas[b * voxels + ai], tGetBetaOfVoxel(b, active[0], active[1], active[2]));
  EXPECT_EQ(tmaps[ai], tGetMapValueOfVoxel(0, active[0], active[1], active[2]));
  EXPECT_GT(tGetMapValueOfVoxel(0, active[0], active[1], active[2]), 5.0f);
  EXPECT_LT(std::fabs(tGetMapValueOfVoxel(0, control[0], control[1], control[2])), 4.0f);
  EXPECT_EQ(tGetBetaOfVoxel(3, 0, 0, 0), 0.0);
  EXPECT_EQ(tGetMapValueOfVoxel(1, 0, 0, 0), 0.0f);
}

TEST(SimHostGlm, DesignMatrixAndConditionFollowTheProtocol) {
  auto s = setUpHost(3, 1, 30, 1.0);
  EXPECT_EQ(tGetCurrentNrOfPredictors(), 0) << "no model before the first volume";
  for (int v = 0; v < 30; ++v) {
    step();
    EXPECT_EQ(tGetCurrentProtocolCondition(), s->protocol->conditionAt(v));
    for (int p = 0; p < 3; ++p)
      EXPECT_EQ(tGetValueOfDesignMatrix(p, v), static_cast<float>(s->protocol->design(p, v)));
  }
  EXPECT_EQ(tGetValueOfDesignMatrix(3, 0), 0.0f);
}

TEST(SimHostGlm, MapsHandedOutAreNotRewrittenByTheNextVolume) {
  auto s = setUpHost(3, 1, 20, 4.0);
  for (int v = 0; v < 10; ++v) step();
  const double* betas = tGetBetaMaps();
  std::vector<double> copy(betas, betas + 3 * 720);
  step();
  EXPECT_NE(tGetBetaMaps(), betas);
  EXPECT_TRUE(std::equal(copy.begin(), copy.end(), betas));
}

TEST(SimHostClassifier, StatesFromNotUsedToOutput) {
  {
    auto s = setUpHost(3, 1, 10, 1.0);
    EXPECT_EQ(tGetNumberOfClasses(), -3);
  }
  auto s = setUpHost(3, 1, 60, 2.0, 2, 1);
  EXPECT_EQ(tGetNumberOfClasses(), 0);
  int v = 0;
  for (; v < 60 && tGetNumberOfClasses() == 0; ++v) step();
  EXPECT_EQ(tGetNumberOfClasses(), 2);
  // Rest until volume 8, task from 8 on, learnt with a lag of 2 volumes.
  EXPECT_EQ(v, 8 + 2 + 1);
  for (; v < 60; ++v) step();
  float out[1] = {0.0f};
  const int predicted = tGetCurrentClassifierOutput(out);
  EXPECT_TRUE(predicted == 0 || predicted == 1);
  EXPECT_EQ(predicted == 0, out[0] > 0.0f) << "a positive pair value favours the first class";
}

TEST(SimHostText, FoldersAndNamesFitTheirBuffers) {
  auto s = setUpHost(3, 1, 3, 1.0);
  char project[112 + 8];
  std::memset(project, '#', sizeof project);
  tGetProjectName(project);
  EXPECT_STREQ(project, "Demo");
  char folder[528];
  tGetWatchFolder(folder);
  EXPECT_STREQ(folder, "/data/watch");
  // A program folder longer than the plug-in's 512 bytes is cut, not overrun.
  char path[512 + 8];
  std::memset(path, '#', sizeof path);
  tGetNMBPath(path);
  EXPECT_EQ(std::strlen(path), 511u);
  for (size_t i = 512; i < sizeof path; ++i) EXPECT_EQ(path[i], '#');
  int major = 0, minor = 0, sub = -1;
  tGetVersionOfNMB(&major, &minor, &sub);
  EXPECT_EQ(major * 100 + minor * 10 + sub, 310);
}

TEST(SimHostThreads, ReadersOnOtherThreadsSeeWholeVolumesWhileTheRunGoesOn) {
  // The plug-in's channel threads read while the host thread adds volumes:
  // every volume below the current time point must read back complete.
  auto s = setUpHost(3, 1, 40, 4.0);
  const int voxels = 12 * 10 * 6;
  std::vector<std::vector<short>> expected(40, std::vector<short>(static_cast<size_t>(voxels)));
  for (int v = 0; v < 40; ++v) s->scan->volume(0, v, expected[static_cast<size_t>(v)].data());
  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0}, reads{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r)
    readers.emplace_back([&, r]() {
      while (!done.load()) {
        const int tp = tGetCurrentTimePoint();
        if (tp == 0) continue;
        const int t = (tp - 1 + r) % tp;
        short** table = tGetTimeCourseData();
        if (std::memcmp(table[t], expected[static_cast<size_t>(t)].data(), sizeof(short) * voxels) != 0)
          ++mismatches;
        // Single values go through the lock; the map pointers' lifetime is
        // checked on one thread (MapsHandedOutAreNotRewrittenByTheNextVolume).
        double sum = 0.0;
        for (int i = 0; i < 12; ++i) sum += tGetBetaOfVoxel(i % 3, i, i % 10, i % 6);
        if (!std::isfinite(sum)) ++mismatches;
        if (tGetMeanOfROI(0) < 0.0f) ++mismatches;
        ++reads;
      }
    });
  for (int v = 0; v < 40; ++v) {
    step();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  done = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_GT(reads.load(), 0);
}

TEST(SimHostGlm, WithoutTasksThereAreNoContrastsButTheMapPointersStayValid) {
  auto s = setUpHost(3, 1, 5, 1.0, 0, 0);
  step();
  EXPECT_EQ(tGetNrOfContrasts(), 0);
  EXPECT_EQ(tGetFullNrOfPredictors(), 2);
  EXPECT_NE(tGetContrastMaps(), nullptr);
  EXPECT_NE(tGetBetaMaps(), nullptr);
  EXPECT_EQ(tGetCurrentProtocolCondition(), 0);
}
