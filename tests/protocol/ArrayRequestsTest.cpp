#include <cmath>

#include "tests/protocol/ReplyTestSupport.h"

using replytest::errorReply;
using replytest::framed;
using replytest::fromHex;

using ArrayRequests = ExecutorTest;

TEST_F(ArrayRequests, AllCoordsOfATwoVoxelRoiIsTheWorkedExample) {
  host().rois = {FakeRoi{{{1, 1, 1}}, 0, 0, {}, {}}, FakeRoi{{{10, 20, 5}, {11, 20, 5}}, 0, 0, {}, {}}};
  const QByteArray expected = fromHex(
                                  "000000000000003B"
                                  "0000001B") +
                              QByteArray("tGetAllCoordsOfVoxelsOfROI", 27) +
                              fromHex(
                                  "00000001"
                                  "0000000A00000014"
                                  "00000005"
                                  "0000000B"
                                  "00000014"
                                  "00000005");
  EXPECT_EQ(execute("tGetAllCoordsOfVoxelsOfROI", {1}).toHex(), expected.toHex());
  EXPECT_EQ(expected.size(), 8 + 59);
}

TEST_F(ArrayRequests, AllCoordsOfAnEmptyRoiIsTheEchoAlone) {
  host().rois = {FakeRoi{}};
  EXPECT_EQ(execute("tGetAllCoordsOfVoxelsOfROI", {0}),
            framed([](QDataStream& out) { out << "tGetAllCoordsOfVoxelsOfROI" << qint32(0); }));
}

TEST_F(ArrayRequests, ExistingMeansStopBeforeTheEndTimePoint) {
  host().rois = {FakeRoi{{{1, 0, 0}, {0, 1, 0}}, 0, 0, {}, {}}};
  inRun(4);
  // Voxel values 1000 t + 10 y + x: the mean of the two voxels is 1000 t + 5.5.
  EXPECT_EQ(execute("tGetExistingMeansOfROI", {0, 3}), framed([](QDataStream& out) {
              out << "tGetExistingMeansOfROI" << qint32(0) << qint32(3) << 5.5f << 1005.5f << 2005.5f;
            }));
  EXPECT_EQ(execute("tGetExistingMeansOfROI", {0, 0}),
            framed([](QDataStream& out) { out << "tGetExistingMeansOfROI" << qint32(0) << qint32(0); }));
}

TEST_F(ArrayRequests, LiveVolumeAsksForTheTableBeforeEachSample) {
  host().currentTimePoint = 3;
  FakeHost::fillTimeCourse(3, -2);  // sample i of volume t is -2 + 100 t + i
  const int callsBefore = FakeHost::calls("tGetTimeCourseData");
  const QByteArray reply = execute("tGetValueOfAllVoxelsAtTime", {1});
  EXPECT_EQ(reply, framed([](QDataStream& out) {
              out << "tGetValueOfAllVoxelsAtTime" << qint32(1) << qint16(98) << qint16(99) << qint16(100)
                  << qint16(101);
            }));
  EXPECT_EQ(FakeHost::calls("tGetTimeCourseData") - callsBefore, 4);
}

TEST_F(ArrayRequests, RawVolumeIsServedFromTheRecordedCopy) {
  RunRecord record;
  record.runStartPending = false;
  record.storedTimePoint = 2;
  record.rawVolumes = {1, 2, 3, 4, -5, -32768, 32767, 8, 0, 0, 0, 0};  // 3 volumes of 4
  setRecord(record);
  EXPECT_EQ(execute("tGetRawValueOfAllVoxelsAtTime", {1}), framed([](QDataStream& out) {
              out << "tGetRawValueOfAllVoxelsAtTime" << qint32(1) << qint16(-5) << qint16(-32768)
                  << qint16(32767) << qint16(8);
            }));
  EXPECT_EQ(FakeHost::calls("tGetTimeCourseData"), 0);
}

TEST_F(ArrayRequests, RawVolumeBeyondTheCopyIsOutOfRange) {
  RunRecord longerThanExpected;
  longerThanExpected.runStartPending = false;
  longerThanExpected.storedTimePoint = 4;
  longerThanExpected.rawVolumes = QVector<qint16>(3 * 4, 7);  // expected 3 volumes, the run went on
  setRecord(longerThanExpected);
  EXPECT_EQ(execute("tGetRawValueOfAllVoxelsAtTime", {3}), errorReply("TimePoint out of range"));
  // Dimensions that grew since the run started: volume 2 would reach past the copy.
  host().dimX = 3;
  EXPECT_EQ(execute("tGetRawValueOfAllVoxelsAtTime", {2}), errorReply("TimePoint out of range"));
  EXPECT_EQ(execute("tGetRawValueOfAllVoxelsAtTime", {1}).size(), 8 + (4 + 30) + 4 + 6 * 2);
}

TEST_F(ArrayRequests, MapsCarryVoxelsTimesMapsValues) {
  host().dimX = 10;
  host().dimY = 10;
  host().dimZ = 10;
  host().currentPredictors = 2;
  host().contrasts = 3;
  for (int i = 0; i < 2000; ++i) host().betaMaps.push_back(0.1 * i);
  for (int i = 0; i < 3000; ++i) host().contrastMaps.push_back(-0.25f * float(i));
  const QByteArray betas = execute("tGetBetaMaps");
  EXPECT_EQ(betas, framed([](QDataStream& out) {
              out << "tGetBetaMaps";
              for (int i = 0; i < 2000; ++i) out << 0.1 * i;
            }));
  EXPECT_EQ(betas.size(), 8 + 17 + 2000 * 4);
  EXPECT_EQ(FakeHost::calls("tGetBetaMaps"), 2000);
  EXPECT_EQ(execute("tGetContrastMaps"), framed([](QDataStream& out) {
              out << "tGetContrastMaps";
              for (int i = 0; i < 3000; ++i) out << -0.25f * float(i);
            }));
}

TEST_F(ArrayRequests, CountsThatDoNotFitGiveEmptyRuns) {
  struct Dims {
    int x, y, z;
  };
  // 2^16 * 2^16 overflows 32 bits; the negative products are counts below 1.
  const Dims cases[] = {{65536, 65536, 2}, {65536, 65536, 1}, {-2, 2, 1}, {0, 5, 5}, {46341, 46341, 1}};
  host().currentTimePoint = 1;
  host().currentPredictors = 1;
  inRun(1);
  for (const Dims& d : cases) {
    SCOPED_TRACE(testing::Message() << d.x << "x" << d.y << "x" << d.z);
    host().dimX = d.x;
    host().dimY = d.y;
    host().dimZ = d.z;
    EXPECT_EQ(execute("tGetBetaMaps"), framed([](QDataStream& out) { out << "tGetBetaMaps"; }));
    EXPECT_EQ(execute("tGetValueOfAllVoxelsAtTime", {0}),
              framed([](QDataStream& out) { out << "tGetValueOfAllVoxelsAtTime" << qint32(0); }));
  }
  // Predictors times voxels beyond 32 bits.
  host().dimX = 65536;
  host().dimY = 16384;
  host().dimZ = 1;
  host().currentPredictors = 2;
  EXPECT_EQ(execute("tGetBetaMaps"), framed([](QDataStream& out) { out << "tGetBetaMaps"; }));
  EXPECT_EQ(FakeHost::calls("tGetBetaMaps"), 0);
}

TEST_F(ArrayRequests, ClassifierOutputHasOneValuePerPairOfClasses) {
  host().numberOfClasses = 4;
  host().classifierResult = 2;
  host().classifierOutput = {0.5f, -1.0f, 1.5f, 2.0f, 0.25f, -0.125f};
  EXPECT_EQ(execute("tGetCurrentClassifierOutput"), framed([](QDataStream& out) {
              out << "tGetCurrentClassifierOutput" << qint32(2) << 0.5f << -1.0f << 1.5f << 2.0f << 0.25f
                  << -0.125f;
            }));
  host().numberOfClasses = 1;
  host().classifierResult = 9;
  EXPECT_EQ(execute("tGetCurrentClassifierOutput"),
            framed([](QDataStream& out) { out << "tGetCurrentClassifierOutput" << qint32(9); }));
}

TEST_F(ArrayRequests, UnservableClassCountsGiveTheEmptyReply) {
  for (int classes : {-1, -4, -100000}) {
    host().numberOfClasses = classes;
    EXPECT_EQ(execute("tGetCurrentClassifierOutput"), QByteArray(8, '\0'));
  }
  // Pairs no reply could carry: the host is not handed a buffer it would overrun.
  host().numberOfClasses = 100000;
  EXPECT_EQ(execute("tGetCurrentClassifierOutput"), QByteArray(8, '\0'));
  EXPECT_EQ(FakeHost::calls("tGetCurrentClassifierOutput"), 0);
}
