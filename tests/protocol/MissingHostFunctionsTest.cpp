// A host that lacks functions, or hands back null arrays, gets error replies
// naming the function instead of a call through a null pointer.
#include "tests/protocol/ReplyTestSupport.h"

using replytest::errorReply;

using MissingHostFunctions = ExecutorTest;

TEST_F(MissingHostFunctions, EveryRequestNamesTheFunctionItLacks) {
  singleVoxelRois(3);
  host().currentTimePoint = 4;
  inRun(3);
  // Remove each host function in turn; every request that needs it must
  // refuse, every request that does not must answer as before.
  const char* const requests[] = {"tGetCurrentTimePoint",
                                  "tGetExpectedNrOfTimePoints",
                                  "tGetDimsOfFunctionalData",
                                  "tGetProjectName",
                                  "tGetWatchFolder",
                                  "tGetTargetFolder",
                                  "tGetFeedbackFolder",
                                  "tGetCurrentProtocolCondition",
                                  "tGetFullNrOfPredictors",
                                  "tGetCurrentNrOfPredictors",
                                  "tGetNrOfConfoundPredictors",
                                  "tGetValueOfDesignMatrix",
                                  "tGetNrOfContrasts",
                                  "tGetNrOfROIs",
                                  "tGetMeanOfROI",
                                  "tGetDetrendedValueOfROI",
                                  "tGetExistingMeansOfROI",
                                  "tGetMeanOfROIAtTimePoint",
                                  "tGetNrOfVoxelsOfROI",
                                  "tGetBetaOfROI",
                                  "tGetCoordsOfVoxelOfROI",
                                  "tGetAllCoordsOfVoxelsOfROI",
                                  "tGetValueOfVoxelAtTime",
                                  "tGetValueOfAllVoxelsAtTime",
                                  "tGetRawValueOfAllVoxelsAtTime",
                                  "tGetBetaOfVoxel",
                                  "tGetBetaMaps",
                                  "tGetMapValueOfVoxel",
                                  "tGetContrastMaps",
                                  "tGetNumberOfClasses",
                                  "tGetPearsonCorrelation",
                                  "tGetPearsonCorrelationAtTimePoint",
                                  "tGetPartialCorrelation",
                                  "tGetPartialCorrelationAtTimePoint",
                                  "tGetInstantProxyCorrelation",
                                  "tGetInstantProxyCorrelationAtTimePoint"};
  host().numberOfClasses = 2;
  host().betaMaps.assign(8, 1.0);
  host().contrastMaps.assign(4, 1.0f);
  FakeHost::fillTimeCourse(4);
  RunRecord record;
  record.runStartPending = false;
  record.storedTimePoint = 3;
  record.rawVolumes.resize(40);
  setRecord(record);

  int refusals = 0;
  for (int f = 0; f < kHostFunctionCount; ++f) {
    const QByteArray function = kHostFunctionNames[f];
    for (const char* name : requests) {
      SCOPED_TRACE(testing::Message() << name << " without " << function.constData());
      hostFunctions = saved;
      const QList<int> arguments{1, 1, 0, 0};
      const QByteArray complete = execute(name, arguments);
      // Null the entry with the same name through the generated list.
#define NMB_TEST_CLEAR(entryName, type) \
  if (function == #entryName) hostFunctions.entryName = nullptr;
      NMB_HOST_FUNCTIONS(NMB_TEST_CLEAR)
#undef NMB_TEST_CLEAR
      const QByteArray reply = execute(name, arguments);
      if (reply != complete) {
        ++refusals;
        EXPECT_EQ(reply,
                  errorReply(QByteArray("Host function " + function + " is not available").constData()));
      }
    }
  }
  hostFunctions = saved;
  // Each request depends on at least one function.
  EXPECT_GE(refusals, 36);
}

TEST_F(MissingHostFunctions, ClassifierWithoutItsOutputFunction) {
  host().numberOfClasses = 3;
  hostFunctions.tGetCurrentClassifierOutput = nullptr;
  EXPECT_EQ(execute("tGetCurrentClassifierOutput"),
            errorReply("Host function tGetCurrentClassifierOutput is not available"));
}

TEST_F(MissingHostFunctions, NullArraysAreRefused) {
  host().currentTimePoint = 2;
  host().currentPredictors = 1;
  host().nullArrays = true;
  EXPECT_EQ(execute("tGetBetaMaps"), errorReply("Host function tGetBetaMaps returned no data"));
  EXPECT_EQ(execute("tGetContrastMaps"), errorReply("Host function tGetContrastMaps returned no data"));
  EXPECT_EQ(execute("tGetValueOfAllVoxelsAtTime", {1}),
            errorReply("Host function tGetTimeCourseData returned no data"));
  // A table without the requested volume.
  host().nullArrays = false;
  FakeHost::fillTimeCourse(2);
  host().timeCourse.clear();
  host().timeCourse.resize(2);  // empty volumes: null row pointers
  EXPECT_EQ(execute("tGetValueOfAllVoxelsAtTime", {1}),
            errorReply("Host function tGetTimeCourseData returned no data"));
}
