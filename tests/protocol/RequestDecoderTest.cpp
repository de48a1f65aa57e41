#include <gtest/gtest.h>

#include <QDataStream>

#include "protocol/RequestDecoder.h"
#include "tests/support/Wire.h"

namespace {

using wire::requestPayload;

QList<QVariant> decoded(const QByteArray& bytes) {
  QList<QVariant> request;
  EXPECT_TRUE(decodeRequest(bytes, request));
  return request;
}

QList<QVariant> list(const char* name, QList<int> arguments) { return wire::request(name, arguments); }

}  // namespace

TEST(RequestDecoder, WorkedExamplePayloads) {
  const QByteArray nrOfRois = QByteArray::fromHex("0000000D") + QByteArray("tGetNrOfROIs", 13);
  EXPECT_EQ(requestPayload("tGetNrOfROIs"), nrOfRois);
  EXPECT_EQ(decoded(nrOfRois), list("tGetNrOfROIs", {}));
  const QByteArray meanOfRoi =
      QByteArray::fromHex("0000000E") + QByteArray("tGetMeanOfROI", 14) + QByteArray::fromHex("00000002");
  EXPECT_EQ(meanOfRoi.size(), 22);
  EXPECT_EQ(decoded(meanOfRoi), list("tGetMeanOfROI", {2}));
}

TEST(RequestDecoder, ReadsExactlyTheTablesArgumentCount) {
  const struct {
    const char* name;
    int count;
  } cases[] = {{"tGetValueOfDesignMatrix", 2},
               {"tGetMeanOfROI", 1},
               {"tGetDetrendedValueOfROI", 1},
               {"tGetExistingMeansOfROI", 2},
               {"tGetMeanOfROIAtTimePoint", 2},
               {"tGetNrOfVoxelsOfROI", 1},
               {"tGetBetaOfROI", 2},
               {"tGetCoordsOfVoxelOfROI", 2},
               {"tGetAllCoordsOfVoxelsOfROI", 1},
               {"tGetValueOfVoxelAtTime", 4},
               {"tGetValueOfAllVoxelsAtTime", 1},
               {"tGetRawValueOfAllVoxelsAtTime", 1},
               {"tGetBetaOfVoxel", 4},
               {"tGetMapValueOfVoxel", 4},
               {"tGetPearsonCorrelation", 1},
               {"tGetPearsonCorrelationAtTimePoint", 2},
               {"tGetPartialCorrelation", 1},
               {"tGetPartialCorrelationAtTimePoint", 2},
               {"tGetInstantProxyCorrelation", 1},
               {"tGetInstantProxyCorrelationAtTimePoint", 2},
               {"tGetNrOfROIs", 0},
               {"tGetBetaMaps", 0},
               {"tGetCurrentClassifierOutput", 0},
               {"tGetNoSuchThing", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Always five integers on the wire: the surplus is ignored.
    QList<int> expected;
    for (int i = 0; i < c.count; ++i) expected << 10 + i;
    EXPECT_EQ(decoded(requestPayload(c.name, {10, 11, 12, 13, 14})), list(c.name, expected));
  }
}

TEST(RequestDecoder, MissingArgumentsReadAsZero) {
  EXPECT_EQ(decoded(requestPayload("tGetMeanOfROI")), list("tGetMeanOfROI", {0}));
  EXPECT_EQ(decoded(requestPayload("tGetValueOfVoxelAtTime", {7, 8})),
            list("tGetValueOfVoxelAtTime", {7, 8, 0, 0}));
  // Half an integer is no integer.
  EXPECT_EQ(decoded(requestPayload("tGetMeanOfROI") + QByteArray::fromHex("0000")),
            list("tGetMeanOfROI", {0}));
  EXPECT_EQ(decoded(requestPayload("tGetMeanOfROI", {-5})), list("tGetMeanOfROI", {-5}));
}

TEST(RequestDecoder, NameIsTheBytesUpToTheFirstNul) {
  // Count 13 for "tGetMeanOfROI": no terminating zero byte.
  const QByteArray unterminated =
      QByteArray::fromHex("0000000D") + QByteArray("tGetMeanOfROI") + QByteArray::fromHex("00000003");
  EXPECT_EQ(decoded(unterminated), list("tGetMeanOfROI", {3}));
  // Bytes after an early NUL belong to the name's count, not to the name.
  const QByteArray early =
      QByteArray::fromHex("00000010") + QByteArray("tGetMeanOfROI\0xy", 16) + QByteArray::fromHex("00000004");
  EXPECT_EQ(decoded(early), list("tGetMeanOfROI", {4}));
}

TEST(RequestDecoder, OtherLetterCaseIsAnotherName) {
  // Matched whole and case-sensitively: no arguments are read for either, and
  // the executor answers "No function call matched!".
  EXPECT_EQ(decoded(requestPayload("tgetmeanofroi", {3})), list("tgetmeanofroi", {}));
  EXPECT_EQ(decoded(requestPayload("TGETMEANOFROI", {3})), list("TGETMEANOFROI", {}));
}

TEST(RequestDecoder, PayloadWithoutANameIsReported) {
  const QByteArray cases[] = {
      QByteArray(),
      QByteArray::fromHex("000000"),
      QByteArray::fromHex("00000000") + requestPayload("tGetNrOfROIs"),  // count 0
      QByteArray::fromHex("00000020") + QByteArray("tGetNrOfROIs", 13),  // fewer bytes than the count
      QByteArray::fromHex("FFFFFFFF"),
  };
  for (const QByteArray& bytes : cases) {
    SCOPED_TRACE(bytes.toHex().constData());
    QList<QVariant> request{QString("stale")};
    EXPECT_FALSE(decodeRequest(bytes, request));
    EXPECT_TRUE(request.isEmpty());
  }
  // A count of one: the empty name, which is a name.
  EXPECT_EQ(decoded(QByteArray::fromHex("0000000100")), list("", {}));
}
