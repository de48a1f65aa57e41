#include "protocol/ProtocolTexts.h"
#include "tests/protocol/ReplyTestSupport.h"

using replytest::errorReply;

namespace {

struct ErrorCase {
  const char* name;
  QList<int> arguments;
  const char* text;
};

// With the host and record of ErrorReplies::SetUp: 3 ROIs of one voxel each,
// a 2 x 2 x 1 volume, host time point 5, recorded time point 4, 3 full and 2
// current predictors, 1 contrast.
const ErrorCase kCases[] = {
    {"tGetValueOfDesignMatrix", {0, 4}, "NrOfTimePoint out of range"},
    {"tGetValueOfDesignMatrix", {0, -1}, "NrOfTimePoint out of range"},
    {"tGetValueOfDesignMatrix", {3, 0}, "NrOfPred out of range"},
    {"tGetValueOfDesignMatrix", {-1, 0}, "NrOfPred out of range"},
    {"tGetValueOfDesignMatrix", {3, 4}, "NrOfTimePoint out of range"},  // time point is checked first
    {"tGetMeanOfROI", {3}, "NrOfROI out of range"},
    {"tGetMeanOfROI", {-1}, "NrOfROI out of range"},
    {"tGetDetrendedValueOfROI", {3}, "NrOfROI out of range"},
    {"tGetDetrendedValueOfROI", {-1}, "NrOfROI out of range"},
    {"tGetNrOfVoxelsOfROI", {3}, "NrOfROI out of range"},
    {"tGetBetaOfROI", {3, 0}, "NrOfROI out of range"},
    {"tGetBetaOfROI", {0, 3}, "NrOfBeta out of range"},  // bound: full predictors
    {"tGetBetaOfROI", {3, 3}, "NrOfROI out of range"},
    {"tGetCoordsOfVoxelOfROI", {3, 0}, "NrOfROI out of range"},
    {"tGetCoordsOfVoxelOfROI", {0, 1}, "NrOfVoxel out of range"},
    {"tGetCoordsOfVoxelOfROI", {0, -1}, "NrOfVoxel out of range"},
    {"tGetAllCoordsOfVoxelsOfROI", {3}, "NrOfROI out of range"},
    {"tGetAllCoordsOfVoxelsOfROI", {-2}, "NrOfROI out of range"},
    {"tGetExistingMeansOfROI", {3, 0}, "NrOfROI/toTimePoint out of range"},
    {"tGetExistingMeansOfROI", {0, 4}, "NrOfROI/toTimePoint out of range"},
    {"tGetExistingMeansOfROI", {0, -1}, "NrOfROI/toTimePoint out of range"},
    {"tGetMeanOfROIAtTimePoint", {3, 0}, "NrOfROI/toTimePoint out of range"},
    {"tGetMeanOfROIAtTimePoint", {0, 4}, "NrOfROI/toTimePoint out of range"},
    {"tGetMeanOfROIAtTimePoint", {-1, -1}, "NrOfROI/toTimePoint out of range"},
    {"tGetValueOfVoxelAtTime", {0, 0, 0, 5}, "NrOfTimePoint out of range"},  // bound: host time point
    {"tGetValueOfVoxelAtTime", {0, 0, 0, -1}, "NrOfTimePoint out of range"},
    {"tGetValueOfVoxelAtTime", {2, 0, 0, 0}, "Voxel location out of range"},
    {"tGetValueOfVoxelAtTime", {0, 2, 0, 0}, "Voxel location out of range"},
    {"tGetValueOfVoxelAtTime", {0, 0, 1, 0}, "Voxel location out of range"},
    {"tGetValueOfVoxelAtTime", {0, 0, -1, 0}, "Voxel location out of range"},
    {"tGetValueOfVoxelAtTime", {9, 9, 9, 9}, "NrOfTimePoint out of range"},
    {"tGetBetaOfVoxel", {2, 0, 0, 0}, "NrOfBeta out of range"},  // bound: current predictors
    {"tGetBetaOfVoxel", {-1, 0, 0, 0}, "NrOfBeta out of range"},
    {"tGetBetaOfVoxel", {0, 2, 0, 0}, "VoxelLocation out of range"},
    {"tGetBetaOfVoxel", {0, 0, 0, 1}, "VoxelLocation out of range"},
    {"tGetMapValueOfVoxel", {1, 0, 0, 0}, "NrOfMaps out of range"},
    {"tGetMapValueOfVoxel", {0, -1, 0, 0}, "VoxelLocation out of range"},
    {"tGetMapValueOfVoxel", {1, 9, 9, 9}, "NrOfMaps out of range"},
    {"tGetValueOfAllVoxelsAtTime", {5}, "TimePoint out of range"},
    {"tGetValueOfAllVoxelsAtTime", {-1}, "TimePoint out of range"},
    {"tGetRawValueOfAllVoxelsAtTime", {4}, "TimePoint out of range"},  // bound: recorded time point
    {"tGetRawValueOfAllVoxelsAtTime", {-1}, "TimePoint out of range"},
    {"tGetNrOfRois", {}, "No function call matched!"},
    {"tGetMeanOfROI ", {0}, "No function call matched!"},
};

class ErrorReplies : public ExecutorTest {
 protected:
  void SetUp() override {
    ExecutorTest::SetUp();
    singleVoxelRois(3);
    host().currentTimePoint = 5;
    FakeHost::fillTimeCourse(5);
    RunRecord record;
    record.runStartPending = false;
    record.storedTimePoint = 4;
    record.rawVolumes.resize(10 * 4);
    setRecord(record);
  }
};

}  // namespace

TEST_F(ErrorReplies, EveryCheckSendsItsTextAndNothingElse) {
  for (const ErrorCase& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.name << " " << c.arguments.size() << " args, "
                                    << (c.arguments.isEmpty() ? 0 : c.arguments.first()));
    EXPECT_EQ(execute(c.name, c.arguments), errorReply(c.text));
  }
}

TEST_F(ErrorReplies, ArgumentsOneInsideTheirBoundsPass) {
  // The counterparts of the cases above, so that a bound off by one shows.
  const ErrorCase passing[] = {
      {"tGetValueOfDesignMatrix", {2, 3}, nullptr},
      {"tGetMeanOfROI", {2}, nullptr},
      {"tGetBetaOfROI", {2, 2}, nullptr},
      {"tGetCoordsOfVoxelOfROI", {2, 0}, nullptr},
      {"tGetExistingMeansOfROI", {2, 3}, nullptr},
      {"tGetMeanOfROIAtTimePoint", {2, 3}, nullptr},
      {"tGetValueOfVoxelAtTime", {1, 1, 0, 4}, nullptr},
      {"tGetBetaOfVoxel", {1, 1, 1, 0}, nullptr},
      {"tGetMapValueOfVoxel", {0, 1, 1, 0}, nullptr},
      {"tGetValueOfAllVoxelsAtTime", {4}, nullptr},
      {"tGetRawValueOfAllVoxelsAtTime", {3}, nullptr},
  };
  for (const ErrorCase& c : passing) {
    SCOPED_TRACE(c.name);
    replytest::ReplyReader reply(execute(c.name, c.arguments));
    EXPECT_EQ(reply.text(), QByteArray(c.name));
  }
}

TEST_F(ErrorReplies, ClassifierStatesHaveTheirTexts) {
  const std::pair<int, const char*> cases[] = {
      {-3, "Real-time SVM classifier is not used"},
      {-2, "Classifier is not producing incremental output"},
      {0, "Classifier is working but no output has been generated yet"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    host().numberOfClasses = c.first;
    EXPECT_EQ(execute("tGetCurrentClassifierOutput"), errorReply(c.second));
  }
  EXPECT_EQ(FakeHost::calls("tGetCurrentClassifierOutput"), 0);
}

TEST_F(ErrorReplies, RawDataOfARunStartedBeforeThePluginIsRefused) {
  RunRecord startedMidRun;
  startedMidRun.runStartPending = false;
  startedMidRun.storedTimePoint = 4;  // no copy of the raw volumes
  setRecord(startedMidRun);
  EXPECT_EQ(execute("tGetRawValueOfAllVoxelsAtTime", {0}),
            errorReply("No Raw data Available. Please start the plugin before starting the run."));
  // Before any step: time point 0 and no copy.
  setRecord(RunRecord{});
  EXPECT_EQ(execute("tGetRawValueOfAllVoxelsAtTime", {0}), errorReply("TimePoint out of range"));
}
