// From options to a scan: the synthetic phantom, ROIs and refusals of bad input.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "simulator/ScanSetup.h"
#include "simulator/SyntheticScan.h"
#include "tests/simulator/TestData.h"

TEST(Roi, BoxCoversItsCornersInclusive) {
  Roi roi;
  std::string error;
  ASSERT_TRUE(boxRoi("b", Dims{10, 10, 10}, {1, 2, 3}, {2, 2, 4}, roi, error));
  ASSERT_EQ(roi.voxels.size(), 4u);
  EXPECT_EQ(roi.voxels[0], (Coord{1, 2, 3}));
  EXPECT_EQ(roi.voxels[3], (Coord{2, 2, 4}));
  EXPECT_EQ(roi.indices[3], 2 + 10 * (2 + 10 * 4));
}

TEST(Roi, BoxOutsideTheVolumeOrInsideOutIsRefused) {
  Roi roi;
  std::string error;
  EXPECT_FALSE(boxRoi("b", Dims{10, 10, 10}, {0, 0, 0}, {10, 0, 0}, roi, error));
  EXPECT_NE(error.find("outside the volume"), std::string::npos);
  EXPECT_FALSE(boxRoi("b", Dims{10, 10, 10}, {-1, 0, 0}, {1, 1, 1}, roi, error));
  EXPECT_FALSE(boxRoi("b", Dims{10, 10, 10}, {3, 0, 0}, {2, 1, 1}, roi, error));
  EXPECT_NE(error.find("empty"), std::string::npos);
}

TEST(Roi, MaskSelectsItsNonZeroVoxelsInVolumeOrder) {
  const Dims dims{3, 2, 2};
  std::vector<float> mask(12, 0.0f);
  mask[static_cast<size_t>(dims.index(2, 0, 0))] = 1.0f;
  mask[static_cast<size_t>(dims.index(1, 1, 1))] = -0.5f;
  Roi roi;
  std::string error;
  ASSERT_TRUE(maskRoi("m", dims, mask, roi, error)) << error;
  ASSERT_EQ(roi.voxels.size(), 2u);
  EXPECT_EQ(roi.voxels[0], (Coord{2, 0, 0}));
  EXPECT_EQ(roi.voxels[1], (Coord{1, 1, 1}));
  EXPECT_FALSE(maskRoi("m", dims, std::vector<float>(12, 0.0f), roi, error));
  EXPECT_NE(error.find("no voxel"), std::string::npos);
  EXPECT_FALSE(maskRoi("m", dims, std::vector<float>(11, 1.0f), roi, error));
}

TEST(SyntheticScan, DefaultRoisAreSeparateSpheresInsideTheVolume) {
  const Dims dims{64, 64, 30};
  const auto rois = SyntheticScan::defaultRois(dims, 3);
  ASSERT_EQ(rois.size(), 3u);
  for (const Roi& roi : rois) {
    EXPECT_GT(roi.voxels.size(), 100u);
    for (const Coord& c : roi.voxels) EXPECT_TRUE(dims.contains(c[0], c[1], c[2]));
  }
  for (int i : rois[0].indices)
    for (int j : rois[1].indices) ASSERT_NE(i, j);
  EXPECT_FALSE(SyntheticScan::defaultRois(Dims{4, 4, 2}, 2)[0].voxels.empty())
      << "tiny volumes still get voxels";
}

TEST(SyntheticScan, IsDeterministicAndCarriesTheDesignedSignal) {
  SimOptions options;
  options.dims = Dims{24, 24, 8};
  options.volumes = 60;
  options.noise = 0.0;
  Scan a, b;
  std::string error;
  ASSERT_TRUE(setUpScan(options, a, error)) << error;
  ASSERT_TRUE(setUpScan(options, b, error)) << error;
  const int n = options.dims.voxels();
  std::vector<short> va(static_cast<size_t>(n)), vb(static_cast<size_t>(n));
  options.noise = 10.0;
  Scan noisy;
  ASSERT_TRUE(setUpScan(options, noisy, error));
  noisy.source->volume(0, 7, va.data());
  Scan noisy2;
  ASSERT_TRUE(setUpScan(options, noisy2, error));
  noisy2.source->volume(0, 7, vb.data());
  EXPECT_EQ(va, vb) << "the same seed gives the same scan";
  noisy2.source->volume(1, 7, vb.data());
  EXPECT_NE(va, vb) << "another run has other noise";

  // Without noise the active ROI follows baseline * (1 + drift + activation *
  // design + shared fluctuation); check it at a block peak and at rest.
  const auto& synthetic = static_cast<const SyntheticScan&>(*a.source);
  const int voxel = a.rois[0].indices[0];
  const int control = a.rois[2].indices[0];
  EXPECT_EQ(synthetic.respondsTo(voxel), 1);
  EXPECT_EQ(synthetic.respondsTo(control), 0);
  std::vector<short> rest(static_cast<size_t>(n)), task(static_cast<size_t>(n));
  a.source->volume(0, 9, rest.data());   // end of the first rest block
  a.source->volume(0, 19, task.data());  // end of the first task block
  const double base = synthetic.baseline(voxel);
  const double expectedChange =
      base * options.activationPercent / 100.0 * (a.protocol->design(0, 19) - a.protocol->design(0, 9));
  const double drift = base * 0.01 * 10.0 / 59.0;
  // Seed 1: two sines of periods 17 and 7.3 volumes with phases 1 and 2, within +-0.5 %.
  auto fluctuation = [](int t) {
    const double pi = 3.14159265358979323846;
    return 0.005 * (std::sin(2 * pi * t / 17.0 + 1.0) + 0.5 * std::sin(2 * pi * t / 7.3 + 2.0)) / 1.5;
  };
  const double shared = base * (fluctuation(19) - fluctuation(9));
  EXPECT_NEAR(task[static_cast<size_t>(voxel)] - rest[static_cast<size_t>(voxel)],
              expectedChange + drift + shared, base * 0.004 + 1.0);
  EXPECT_NEAR(task[static_cast<size_t>(control)] - rest[static_cast<size_t>(control)],
              synthetic.baseline(control) * 0.01 * 10.0 / 59.0, synthetic.baseline(control) * 0.004 + 1.0);
}

TEST(SyntheticScan, TheBlockDesignStandsOutOfTheSharedFluctuationByDefault) {
  // Default model; ROI 0 against the control ROI 2 (both drift alike, only
  // ROI 0 has the task and the shared fluctuation), on the plateaus of the
  // task and rest blocks.
  SimOptions options;
  options.dims = Dims{24, 24, 12};
  Scan scan;
  std::string error;
  ASSERT_TRUE(setUpScan(options, scan, error)) << error;
  std::vector<short> volume(static_cast<size_t>(options.dims.voxels()));
  std::vector<double> task, rest;
  for (int t = 0; t < options.volumes; ++t) {
    scan.source->volume(0, t, volume.data());
    double active = 0, control = 0;
    for (int i : scan.rois[0].indices) active += volume[static_cast<size_t>(i)];
    for (int i : scan.rois[2].indices) control += volume[static_cast<size_t>(i)];
    const double ratio = (active / scan.rois[0].indices.size()) / (control / scan.rois[2].indices.size());
    const double design = scan.protocol->design(0, t);
    if (design > 0.95) task.push_back(ratio);
    if (std::fabs(design) < 0.05) rest.push_back(ratio);
  }
  ASSERT_GT(task.size(), 40u);
  ASSERT_GT(rest.size(), 20u);
  auto mean = [](const std::vector<double>& v) {
    double sum = 0;
    for (double x : v) sum += x;
    return sum / static_cast<double>(v.size());
  };
  double spread = 0;
  for (double x : rest) spread += (x - mean(rest)) * (x - mean(rest));
  spread = std::sqrt(spread / static_cast<double>(rest.size())) / mean(rest);
  const double effect = mean(task) / mean(rest) - 1.0;
  EXPECT_NEAR(effect, 0.03, 0.003);
  EXPECT_GT(effect, 6.0 * spread) << "the task effect drowns in the fluctuation (spread " << spread << ")";
}

TEST(ScanSetup, RefusesAnRoiOutsideTheVolume) {
  SimOptions options;
  options.dims = Dims{8, 8, 4};
  options.roiBoxes.push_back({0, 0, 0, 7, 7, 4});
  Scan scan;
  std::string error;
  EXPECT_FALSE(setUpScan(options, scan, error));
  EXPECT_NE(error.find("outside the volume"), std::string::npos) << error;
}

TEST(ScanSetup, NiftiReplayTakesTheHeadersTrAndCentralRoi) {
  SKIP_WITHOUT_FUNCTIONAL_NII();
  SimOptions options;
  options.nifti = kFunctionalNii;
  Scan scan;
  std::string error;
  ASSERT_TRUE(setUpScan(options, scan, error)) << error;
  EXPECT_EQ(scan.volumes, 20);
  EXPECT_EQ(scan.trMs, 2000);
  ASSERT_EQ(scan.rois.size(), 1u);
  EXPECT_FALSE(scan.rois[0].voxels.empty());

  options.trMs = 250;
  options.trGiven = true;
  options.volumes = 5;
  options.volumesGiven = true;
  options.roiBoxes.push_back({0, 0, 0, 16, 20, 2});
  Scan shorter;
  ASSERT_TRUE(setUpScan(options, shorter, error)) << error;
  EXPECT_EQ(shorter.trMs, 250);
  EXPECT_EQ(shorter.volumes, 5);
  ASSERT_EQ(shorter.rois.size(), 1u);
  EXPECT_EQ(shorter.rois[0].voxels.size(), 17u * 21u * 3u);
}

TEST(ScanSetup, AHeaderTrOutsideRealRunsIsRefusedUnlessTheTrIsGiven) {
  // nibabel's example4d.nii.gz says 2000 seconds per volume.
  const char path[] = "/usr/lib/python3/dist-packages/nibabel/tests/data/example4d.nii.gz";
  if (!std::ifstream(path).good()) GTEST_SKIP() << path << " is missing (python3-nibabel)";
  SimOptions options;
  options.nifti = path;
  Scan scan;
  std::string error;
  EXPECT_FALSE(setUpScan(options, scan, error));
  EXPECT_NE(error.find("TR of 2000000 ms"), std::string::npos) << error;
  EXPECT_NE(error.find("--tr-ms"), std::string::npos) << error;

  options.trMs = 2000;
  options.trGiven = true;
  Scan given;
  ASSERT_TRUE(setUpScan(options, given, error)) << error;
  EXPECT_EQ(given.trMs, 2000);
}

TEST(ScanSetup, RefusesARunTooLargeForMemoryUpFront) {
  SimOptions options;
  options.dims = Dims{1000, 1000, 16};
  options.volumes = 1000;
  Scan scan;
  std::string error;
  EXPECT_FALSE(setUpScan(options, scan, error));
  EXPECT_NE(error.find("MiB"), std::string::npos) << error;
}
