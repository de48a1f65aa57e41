#include <cmath>

#include "analytics/RoiMean.h"
#include "tests/protocol/ReplyTestSupport.h"

using RoiMean = ExecutorTest;

TEST_F(RoiMean, SumsInSinglePrecisionInVoxelOrder) {
  // In float, 1e8 + 1 is 1e8: each following 1 is lost.  In double the mean
  // would be 25000000.75.
  host().rois = {FakeRoi{{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}}, 0, 0, {}, {}}};
  host().voxelValue = [](int x, int y, int, int) { return x == 0 && y == 0 ? 1e8f : 1.0f; };
  EXPECT_EQ(roiMeanFromVoxels(0, 0), 2.5e7f);
  // The other order keeps them: 1 + 1 + 1 + 1e8 = 100000003 rounds to 1e8 + 4.
  host().voxelValue = [](int x, int y, int, int) { return x == 1 && y == 1 ? 1e8f : 1.0f; };
  EXPECT_EQ(roiMeanFromVoxels(0, 0), (1.0f + 1.0f + 1.0f + 1e8f) / 4.0f);
}

TEST_F(RoiMean, RefusedVoxelsCountButAddNothing) {
  host().rois = {FakeRoi{{{0, 0, 0}, {1, 0, 0}}, 0, 0, {}, {true, true}},
                 FakeRoi{{{0, 0, 0}, {1, 0, 0}}, 0, 0, {}, {false, true}}, FakeRoi{}};
  host().voxelValue = [](int, int, int, int) { return 6.0f; };
  EXPECT_EQ(roiMeanFromVoxels(0, 3), 0.0f);
  EXPECT_EQ(roiMeanFromVoxels(1, 3), 3.0f);
  EXPECT_TRUE(std::isnan(roiMeanFromVoxels(2, 3)));  // no voxels
}

TEST_F(RoiMean, NeverAsksForANegativeTimePoint) {
  singleVoxelRois(1);
  EXPECT_TRUE(std::isnan(roiMeanFromVoxels(0, -1)));
  EXPECT_EQ(FakeHost::calls("tGetValueOfVoxelAtTime"), 0);
}

TEST_F(RoiMean, WindowIsRoiMajorOverTheTimePointsBeforeTheEnd) {
  singleVoxelRois(2);  // voxel value 1000 t + x
  const std::vector<double> window = collectRoiWindows(2, 5, 3);
  EXPECT_EQ(window, (std::vector<double>{2000, 3000, 4000, 2001, 3001, 4001}));
  EXPECT_TRUE(collectRoiWindows(0, 5, 3).empty());
}
