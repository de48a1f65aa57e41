#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

#include "simulator/NiftiScan.h"
#include "tests/simulator/RawNifti.h"
#include "tests/simulator/TestData.h"

TEST(NiftiScan, ReplaysFunctionalNiiSampleForSample) {
  SKIP_WITHOUT_FUNCTIONAL_NII();
  RawNifti raw;
  ASSERT_TRUE(readRawNifti(kFunctionalNii, raw));
  std::string error;
  auto scan = NiftiScan::open(kFunctionalNii, error);
  ASSERT_TRUE(scan) << error;
  EXPECT_EQ(scan->dims().x, 17);
  EXPECT_EQ(scan->dims().y, 21);
  EXPECT_EQ(scan->dims().z, 3);
  EXPECT_EQ(scan->volumes(), 20);
  EXPECT_DOUBLE_EQ(scan->trMilliseconds(), 2000.0);
  const int voxels = 17 * 21 * 3;
  std::vector<short> volume(static_cast<size_t>(voxels));
  for (int t = 0; t < 20; ++t) {
    scan->volume(0, t, volume.data());
    for (int i = 0; i < voxels; ++i)
      ASSERT_EQ(volume[static_cast<size_t>(i)], raw.samples[static_cast<size_t>(t * voxels + i)])
          << "volume " << t << " voxel " << i;
  }
}

TEST(NiftiScan, RefusesMissingAndUnreadableFiles) {
  std::string error;
  EXPECT_FALSE(NiftiScan::open("/nonexistent/run.nii", error));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
  const std::string junk = testing::TempDir() + "junk-" + std::to_string(getpid()) + ".nii";
  std::ofstream(junk) << "this is not a NIfTI file, just some text that is long enough to look like one";
  error.clear();
  EXPECT_FALSE(NiftiScan::open(junk, error));
  EXPECT_NE(error.find("cannot read NIfTI"), std::string::npos) << error;
  std::remove(junk.c_str());
}

TEST(NiftiMask, MustMatchTheScansGrid) {
  SKIP_WITHOUT_FUNCTIONAL_NII();
  std::vector<float> mask;
  std::string error;
  EXPECT_FALSE(readNiftiMask(kFunctionalNii, Dims{64, 64, 30}, mask, error));
  EXPECT_NE(error.find("17 x 21 x 3"), std::string::npos) << error;
  ASSERT_TRUE(readNiftiMask(kFunctionalNii, Dims{17, 21, 3}, mask, error)) << error;
  EXPECT_EQ(mask.size(), 17u * 21u * 3u);
}
