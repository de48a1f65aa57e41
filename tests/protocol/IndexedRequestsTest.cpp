#include <cmath>
#include <limits>

#include "tests/protocol/ReplyTestSupport.h"

using replytest::framed;
using replytest::fromHex;

using IndexedRequests = ExecutorTest;

TEST_F(IndexedRequests, BetaOfVoxelSendsTheDoubleAsASingle) {
  host().betaOfVoxel = [](int, int, int, int) { return 0.1; };
  const QByteArray reply = execute("tGetBetaOfVoxel", {1, 1, 0, 0});
  EXPECT_EQ(reply.right(4).toHex(), QByteArray("3dcccccd"));
  EXPECT_EQ(reply, framed([](QDataStream& out) {
              out << "tGetBetaOfVoxel" << qint32(1) << qint32(1) << qint32(0) << qint32(0) << 0.1;
            }));
}

TEST_F(IndexedRequests, DesignMatrixEchoesBothIndices) {
  inRun(3);
  host().designMatrixValue = [](int predictor, int t) { return predictor == 2 && t == 1 ? 1.5f : -1.0f; };
  const QByteArray expected = fromHex(
                                  "0000000000000028"
                                  "00000018") +
                              QByteArray("tGetValueOfDesignMatrix", 24) +
                              fromHex(
                                  "00000002"
                                  "00000001"
                                  "3fc00000");
  EXPECT_EQ(execute("tGetValueOfDesignMatrix", {2, 1}).toHex(), expected.toHex());
}

TEST_F(IndexedRequests, RoiMeanFallsBackToTheRecordedValueOnlyForAnExactZero) {
  host().rois = {FakeRoi{{{0, 0, 0}}, 0.0f, 0.0f, {}, {}}, FakeRoi{{{1, 0, 0}}, 3.25f, 0.0f, {}, {}}};
  RunRecord record;
  record.runStartPending = false;
  record.storedTimePoint = 2;
  record.roiMeans = {12.5f, 99.0f};
  record.roiDetrendedValues = {-0.5f, 98.0f};
  setRecord(record);
  auto meanReply = [](const char* name, int roi, float value) {
    return framed([=](QDataStream& out) { out << name << qint32(roi) << value; });
  };
  EXPECT_EQ(execute("tGetMeanOfROI", {0}), meanReply("tGetMeanOfROI", 0, 12.5f));
  EXPECT_EQ(execute("tGetMeanOfROI", {1}), meanReply("tGetMeanOfROI", 1, 3.25f));
  EXPECT_EQ(execute("tGetDetrendedValueOfROI", {0}), meanReply("tGetDetrendedValueOfROI", 0, -0.5f));
  EXPECT_EQ(execute("tGetDetrendedValueOfROI", {1}), meanReply("tGetDetrendedValueOfROI", 1, 98.0f));

  // A NaN is not zero: sent as the host gave it.
  host().rois[0].mean = std::numeric_limits<float>::quiet_NaN();
  replytest::ReplyReader reply(execute("tGetMeanOfROI", {0}));
  reply.text();
  reply.integer();
  EXPECT_TRUE(std::isnan(reply.real()));
}

TEST_F(IndexedRequests, RoiMeanWithoutRecordedEntrySendsTheHostsZero) {
  singleVoxelRois(3);
  RunRecord record;
  record.roiMeans = {12.5f};  // recorded when there was one ROI
  record.roiDetrendedValues = {1.0f};
  setRecord(record);
  EXPECT_EQ(execute("tGetMeanOfROI", {2}),
            framed([](QDataStream& out) { out << "tGetMeanOfROI" << qint32(2) << 0.0f; }));
  EXPECT_EQ(execute("tGetDetrendedValueOfROI", {1}),
            framed([](QDataStream& out) { out << "tGetDetrendedValueOfROI" << qint32(1) << 0.0f; }));
  setRecord(RunRecord{});  // before the first post-step
  EXPECT_EQ(execute("tGetMeanOfROI", {0}),
            framed([](QDataStream& out) { out << "tGetMeanOfROI" << qint32(0) << 0.0f; }));
}

TEST_F(IndexedRequests, VoxelRequestsEchoEveryArgument) {
  host().rois = {FakeRoi{{{1, 0, 0}, {0, 1, 0}, {1, 1, 0}}, 1.0f, 0.0f, {0.5f, 0.75f, 2.0f}, {false, true}}};
  host().currentTimePoint = 3;
  EXPECT_EQ(execute("tGetNrOfVoxelsOfROI", {0}),
            framed([](QDataStream& out) { out << "tGetNrOfVoxelsOfROI" << qint32(0) << qint32(3); }));
  EXPECT_EQ(execute("tGetBetaOfROI", {0, 2}),
            framed([](QDataStream& out) { out << "tGetBetaOfROI" << qint32(0) << qint32(2) << 2.0f; }));
  EXPECT_EQ(execute("tGetCoordsOfVoxelOfROI", {0, 2}), framed([](QDataStream& out) {
              out << "tGetCoordsOfVoxelOfROI" << qint32(0) << qint32(2) << qint32(1) << qint32(1)
                  << qint32(0);
            }));
  // A voxel the host refuses writes no coordinates: the reply carries zeros.
  EXPECT_EQ(execute("tGetCoordsOfVoxelOfROI", {0, 1}), framed([](QDataStream& out) {
              out << "tGetCoordsOfVoxelOfROI" << qint32(0) << qint32(1) << qint32(0) << qint32(0)
                  << qint32(0);
            }));
  EXPECT_EQ(execute("tGetValueOfVoxelAtTime", {1, 0, 0, 2}), framed([](QDataStream& out) {
              out << "tGetValueOfVoxelAtTime" << qint32(1) << qint32(0) << qint32(0) << qint32(2) << 2001.0f;
            }));
  EXPECT_EQ(execute("tGetMapValueOfVoxel", {0, 1, 1, 0}), framed([](QDataStream& out) {
              out << "tGetMapValueOfVoxel" << qint32(0) << qint32(1) << qint32(1) << qint32(0) << 2.0f;
            }));
}

TEST_F(IndexedRequests, MeanAtTimePointIsComputedFromTheVoxels) {
  // Voxels 0 and 2 count, voxel 1 is refused but still divides.
  host().rois = {FakeRoi{{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}}, 0.0f, 0.0f, {}, {false, true, false}}};
  host().voxelValue = [](int x, int y, int, int t) { return 0.1f * float(t) + float(x + 2 * y); };
  inRun(4);
  const float sum = (0.1f * 3.0f + 0.0f) + (0.1f * 3.0f + 3.0f);
  EXPECT_EQ(execute("tGetMeanOfROIAtTimePoint", {0, 3}), framed([&](QDataStream& out) {
              out << "tGetMeanOfROIAtTimePoint" << qint32(0) << qint32(3) << sum / 3.0f;
            }));
}
