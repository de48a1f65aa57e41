#include <string>

#include "protocol/ProtocolTexts.h"
#include "tests/protocol/ReplyTestSupport.h"

using replytest::framed;
using replytest::fromHex;

using ScalarRequests = ExecutorTest;

TEST_F(ScalarRequests, NrOfROIsWithThreeRoisIsTheWorkedExample) {
  singleVoxelRois(3);
  const QByteArray expected = fromHex(
                                  "0000000000000015"
                                  "0000000D") +
                              QByteArray("tGetNrOfROIs", 13) + fromHex("00000003");
  EXPECT_EQ(execute("tGetNrOfROIs").toHex(), expected.toHex());
  EXPECT_EQ(expected.size(), 8 + 21);
}

TEST_F(ScalarRequests, UnknownNameIsTheWorkedErrorExample) {
  const QByteArray expected = fromHex(
                                  "0000000000000031"
                                  "0000000F") +
                              QByteArray("Wrong request!", 15) + fromHex("0000001A") +
                              QByteArray("No function call matched!", 26);
  EXPECT_EQ(execute("tGetSomethingElse").toHex(), expected.toHex());
  EXPECT_EQ(expected.size(), 8 + 49);
}

TEST_F(ScalarRequests, NameInOtherLetterCaseIsNotMatched) {
  singleVoxelRois(3);
  EXPECT_EQ(execute("tgetnrofrois"), replytest::errorReply("No function call matched!"));
  EXPECT_EQ(execute(""), replytest::errorReply("No function call matched!"));
  EXPECT_EQ(plugin.executeRequest({}), replytest::errorReply("No function call matched!"));
}

TEST_F(ScalarRequests, ProjectNameCountsItsNul) {
  host().projectName = "Demo";
  const QByteArray expected = fromHex(
                                  "000000000000001D"
                                  "00000010") +
                              QByteArray("tGetProjectName", 16) + fromHex("00000005") + QByteArray("Demo", 5);
  EXPECT_EQ(execute("tGetProjectName").toHex(), expected.toHex());
}

TEST_F(ScalarRequests, FoldersAreSentAsTheHostWroteThem) {
  host().watchFolder = "/data/watch";
  host().targetFolder = "";
  // Longer than the capacity the host was promised: still inside the buffer.
  host().feedbackFolder = std::string(600, 'f');
  EXPECT_EQ(execute("tGetWatchFolder"), framed([](QDataStream& out) {
              out << "tGetWatchFolder"
                  << "/data/watch";
            }));
  EXPECT_EQ(execute("tGetTargetFolder"), framed([](QDataStream& out) {
              out << "tGetTargetFolder"
                  << "";
            }));
  const std::string feedback(600, 'f');
  EXPECT_EQ(execute("tGetFeedbackFolder"),
            framed([&](QDataStream& out) { out << "tGetFeedbackFolder" << feedback.c_str(); }));
}

TEST_F(ScalarRequests, IntegerValuesComeFromTheHostAtRequestTime) {
  struct Case {
    const char* name;
    int FakeHostState::*field;
  };
  const Case cases[] = {
      {"tGetExpectedNrOfTimePoints", &FakeHostState::expectedTimePoints},
      {"tGetCurrentProtocolCondition", &FakeHostState::protocolCondition},
      {"tGetFullNrOfPredictors", &FakeHostState::fullPredictors},
      {"tGetCurrentNrOfPredictors", &FakeHostState::currentPredictors},
      {"tGetNrOfConfoundPredictors", &FakeHostState::confoundPredictors},
      {"tGetNrOfContrasts", &FakeHostState::contrasts},
      {"tGetNumberOfClasses", &FakeHostState::numberOfClasses},
  };
  int value = 17;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host().*c.field = ++value;
    EXPECT_EQ(execute(c.name), framed([&](QDataStream& out) { out << c.name << qint32(value); }));
    host().*c.field = -value;
    EXPECT_EQ(execute(c.name), framed([&](QDataStream& out) { out << c.name << qint32(-value); }));
  }
}

TEST_F(ScalarRequests, DimsInArgumentOrder) {
  host().dimX = 64;
  host().dimY = 48;
  host().dimZ = 30;
  EXPECT_EQ(execute("tGetDimsOfFunctionalData"), framed([](QDataStream& out) {
              out << "tGetDimsOfFunctionalData" << qint32(64) << qint32(48) << qint32(30);
            }));
}

TEST_F(ScalarRequests, CurrentTimePointFollowsTheHostOnlyBetweenRuns) {
  host().currentTimePoint = 7;
  auto reply = [](int value) {
    return framed([value](QDataStream& out) { out << "tGetCurrentTimePoint" << qint32(value); });
  };
  EXPECT_EQ(execute("tGetCurrentTimePoint"), reply(7));

  inRun(5);
  const int callsBefore = FakeHost::calls("tGetCurrentTimePoint");
  EXPECT_EQ(execute("tGetCurrentTimePoint"), reply(5));
  EXPECT_EQ(FakeHost::calls("tGetCurrentTimePoint"), callsBefore);

  RunRecord ended;
  ended.runStartPending = true;
  ended.storedTimePoint = 5;
  setRecord(ended);
  EXPECT_EQ(execute("tGetCurrentTimePoint"), reply(7));
}
