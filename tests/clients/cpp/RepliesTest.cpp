// Decoding of every reply family from complete frames, written byte for byte
// as the plug-in sends them.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "Bytes.h"
#include "nmbclient/Errors.h"
#include "nmbclient/Replies.h"

using namespace testbytes;
using nmb::Request;
namespace replies = nmb::replies;

namespace {

// The body of a complete frame, after checking that its length field is right.
Bytes bodyOf(const Bytes& frame) {
  EXPECT_GE(frame.size(), 8u);
  std::uint64_t n = 0;
  for (int i = 0; i < 8; ++i) n = (n << 8) | frame[i];
  EXPECT_EQ(n, frame.size() - 8);
  return Bytes(frame.begin() + 8, frame.end());
}

template <typename Decode>
auto decode(Decode d, const Bytes& frame, const Request& request) {
  const Bytes body = bodyOf(frame);
  return d(body.data(), body.size(), request);
}

std::string nimbrelErrorText(const Bytes& frame, const Request& request) {
  try {
    decode(replies::decodeReal, frame, request);
  } catch (const nmb::NimbrelError& e) {
    return e.text();
  }
  return "<no NimbrelError>";
}

const Bytes kNoFunctionCallMatched =
    cat({hex("00 00 00 00 00 00 00 31 00 00 00 0F"), ascii("Wrong request!"), hex("00 00 00 00 1A"),
         ascii("No function call matched!"), hex("00")});

}  // namespace

TEST(ScalarReplies, NrOfRoisWorkedExample) {
  const Bytes frame =
      cat({hex("00 00 00 00 00 00 00 15 00 00 00 0D"), ascii("tGetNrOfROIs"), hex("00 00 00 00 03")});
  EXPECT_EQ(decode(replies::decodeInt, frame, Request("tGetNrOfROIs")), 3);
}

TEST(ScalarReplies, TextsAndDimensions) {
  const Bytes project = frame(cat({text("tGetProjectName"), hex("00 00 00 05"), ascii("Demo"), hex("00")}));
  EXPECT_EQ(decode(replies::decodeText, project, Request("tGetProjectName")), "Demo");

  const Bytes dims = frame(cat({text("tGetDimsOfFunctionalData"), int32(64), int32(64), int32(30)}));
  const nmb::Dims d = decode(replies::decodeDims, dims, Request("tGetDimsOfFunctionalData"));
  EXPECT_EQ(d.x, 64);
  EXPECT_EQ(d.y, 64);
  EXPECT_EQ(d.z, 30);
  EXPECT_EQ(d.voxels(), 122880);
}

TEST(IndexedReplies, RealsAreBigEndianSinglesAfterTheEchoedArguments) {
  const Bytes mean = frame(cat({text("tGetMeanOfROI"), int32(2), hex("3F C0 00 00")}));
  EXPECT_EQ(decode(replies::decodeReal, mean, Request("tGetMeanOfROI", {2})), 1.5f);

  const Bytes beta =
      frame(cat({text("tGetBetaOfVoxel"), int32(1), int32(2), int32(3), int32(4), hex("3D CC CC CD")}));
  EXPECT_EQ(decode(replies::decodeReal, beta, Request("tGetBetaOfVoxel", {1, 2, 3, 4})), 0.1f);

  const Bytes nan = frame(cat({text("tGetMeanOfROI"), int32(0), hex("7F C0 00 00")}));
  EXPECT_TRUE(std::isnan(decode(replies::decodeReal, nan, Request("tGetMeanOfROI", {0}))));

  const Bytes coords =
      frame(cat({text("tGetCoordsOfVoxelOfROI"), int32(1), int32(0), int32(10), int32(20), int32(5)}));
  EXPECT_EQ(decode(replies::decodeCoords, coords, Request("tGetCoordsOfVoxelOfROI", {1, 0})),
            (nmb::VoxelCoords{10, 20, 5}));
}

TEST(ArrayReplies, AllCoordsWorkedExample) {
  const Bytes frame =
      cat({hex("00 00 00 00 00 00 00 3B 00 00 00 1B"), ascii("tGetAllCoordsOfVoxelsOfROI"),
           hex("00 00 00 00 01 00 00 00 0A 00 00 00 14 00 00 00 05 00 00 00 0B 00 00 00 14 00 00 00 05")});
  const auto coords = decode(replies::decodeCoordsRun, frame, Request("tGetAllCoordsOfVoxelsOfROI", {1}));
  ASSERT_EQ(coords.size(), 2u);
  EXPECT_EQ(coords[0], (nmb::VoxelCoords{10, 20, 5}));
  EXPECT_EQ(coords[1], (nmb::VoxelCoords{11, 20, 5}));
}

TEST(ArrayReplies, EmptyRunsKeepTheEcho) {
  const Bytes noVoxels = frame(cat({text("tGetAllCoordsOfVoxelsOfROI"), int32(4)}));
  EXPECT_TRUE(decode(replies::decodeCoordsRun, noVoxels, Request("tGetAllCoordsOfVoxelsOfROI", {4})).empty());

  const Bytes noMeans = frame(cat({text("tGetExistingMeansOfROI"), int32(1), int32(0)}));
  EXPECT_TRUE(decode(replies::decodeReals, noMeans, Request("tGetExistingMeansOfROI", {1, 0})).empty());

  const Bytes noMaps = frame(text("tGetBetaMaps"));
  EXPECT_TRUE(decode(replies::decodeReals, noMaps, Request("tGetBetaMaps")).empty());
}

TEST(ArrayReplies, SamplesAreSigned16BitValues) {
  // A 2 x 2 x 1 volume: the name, the time point, then 4 samples (8 bytes).
  const Bytes volume =
      frame(cat({text("tGetValueOfAllVoxelsAtTime"), int32(3), hex("00 01 7F FF 80 00 FF FF")}));
  EXPECT_EQ(decode(replies::decodeSamples, volume, Request("tGetValueOfAllVoxelsAtTime", {3})),
            (std::vector<std::int16_t>{1, 32767, -32768, -1}));

  const Bytes oddByte = frame(cat({text("tGetRawValueOfAllVoxelsAtTime"), int32(0), hex("00 01 02")}));
  EXPECT_THROW(decode(replies::decodeSamples, oddByte, Request("tGetRawValueOfAllVoxelsAtTime", {0})),
               nmb::ProtocolError);
}

TEST(ArrayReplies, ExistingMeansCarryOneRealPerTimePoint) {
  const Bytes means = frame(
      cat({text("tGetExistingMeansOfROI"), int32(0), int32(3), hex("3F 80 00 00 40 00 00 00 40 40 00 00")}));
  EXPECT_EQ(decode(replies::decodeReals, means, Request("tGetExistingMeansOfROI", {0, 3})),
            (std::vector<float>{1.0f, 2.0f, 3.0f}));
}

TEST(CorrelationReplies, PearsonWorkedExampleWithThreeRois) {
  const Bytes worked = cat({hex("00 00 00 00 00 00 00 2B 00 00 00 17"), ascii("tGetPearsonCorrelation"),
                            hex("00 00 00 00 0A 3F 00 00 00 BF 00 00 00 3E 80 00 00")});
  EXPECT_EQ(decode(replies::decodeReals, worked, Request("tGetPearsonCorrelation", {10})),
            (std::vector<float>{0.5f, -0.5f, 0.25f}));

  const Bytes proxy =
      frame(cat({text("tGetInstantProxyCorrelationAtTimePoint"), int32(5), int32(9), hex("3F C0 00 00")}));
  EXPECT_EQ(decode(replies::decodeReal, proxy, Request("tGetInstantProxyCorrelationAtTimePoint", {5, 9})),
            1.5f);
}

TEST(ClassifierReplies, EmptyReplyAndPairRuns) {
  const Bytes empty = hex("00 00 00 00 00 00 00 00");
  const nmb::ClassifierOutput none =
      decode(replies::decodeClassifier, empty, Request("tGetCurrentClassifierOutput"));
  EXPECT_FALSE(none.produced);
  EXPECT_TRUE(none.values.empty());

  Bytes sixPairs = cat({text("tGetCurrentClassifierOutput"), int32(2)});
  for (int i = 0; i < 6; ++i) sixPairs = cat({sixPairs, hex("3F 80 00 00")});
  const nmb::ClassifierOutput four =
      decode(replies::decodeClassifier, frame(sixPairs), Request("tGetCurrentClassifierOutput"));
  EXPECT_TRUE(four.produced);
  EXPECT_EQ(four.result, 2);
  EXPECT_EQ(four.values, std::vector<float>(6, 1.0f));

  const Bytes oneClass = frame(cat({text("tGetCurrentClassifierOutput"), int32(-7)}));
  const nmb::ClassifierOutput one =
      decode(replies::decodeClassifier, oneClass, Request("tGetCurrentClassifierOutput"));
  EXPECT_TRUE(one.produced);
  EXPECT_EQ(one.result, -7);
  EXPECT_TRUE(one.values.empty());
}

TEST(ErrorReplies, CarryThePluginsTextForEveryFamily) {
  EXPECT_EQ(nimbrelErrorText(kNoFunctionCallMatched, Request("tGetNothing")), "No function call matched!");
  const Bytes roi = frame(cat({text("Wrong request!"), text("NrOfROI out of range")}));
  EXPECT_EQ(nimbrelErrorText(roi, Request("tGetMeanOfROI", {3})), "NrOfROI out of range");
  const Bytes body = bodyOf(roi);
  const Request r("tGetAllCoordsOfVoxelsOfROI", {9});
  EXPECT_THROW(replies::decodeCoordsRun(body.data(), body.size(), r), nmb::NimbrelError);
  EXPECT_THROW(replies::decodeSamples(body.data(), body.size(), r), nmb::NimbrelError);
  EXPECT_THROW(replies::decodeClassifier(body.data(), body.size(), r), nmb::NimbrelError);
  EXPECT_THROW(replies::decodeText(body.data(), body.size(), r), nmb::NimbrelError);
  // An error reply never counts as the empty classifier reply or as a value.
  const Bytes truncated = frame(cat({text("Wrong request!"), hex("00 00 00 10"), ascii("NrOf")}));
  EXPECT_THROW(decode(replies::decodeReal, truncated, Request("tGetMeanOfROI", {3})), nmb::ProtocolError);
}

TEST(ReplyChecks, RefuseAnotherRequestsReply) {
  const Bytes mean = frame(cat({text("tGetMeanOfROI"), int32(2), hex("3F C0 00 00")}));
  EXPECT_THROW(decode(replies::decodeReal, mean, Request("tGetDetrendedValueOfROI", {2})),
               nmb::ProtocolError);
  EXPECT_THROW(decode(replies::decodeReal, mean, Request("tGetMeanOfROI", {1})), nmb::ProtocolError);
  EXPECT_THROW(decode(replies::decodeReal, mean, Request("tgetmeanofroi", {2})), nmb::ProtocolError);
  EXPECT_THROW(decode(replies::decodeInt, mean, Request("tGetMeanOfROI", {2, 0})), nmb::ProtocolError);
}

TEST(ReplyChecks, RefuseShortLongAndEmptyBodies) {
  const Request nr("tGetNrOfROIs");
  EXPECT_THROW(decode(replies::decodeInt, frame(text("tGetNrOfROIs")), nr), nmb::ProtocolError);
  EXPECT_THROW(decode(replies::decodeInt, frame(cat({text("tGetNrOfROIs"), int32(3), hex("00")})), nr),
               nmb::ProtocolError);
  EXPECT_THROW(decode(replies::decodeInt, frame({}), nr), nmb::ProtocolError);
  EXPECT_THROW(decode(replies::decodeReals, frame(hex("00 00 00 00")), Request("tGetBetaMaps")),
               nmb::ProtocolError);
}

TEST(Handshake, RequestSocketAnswerWorkedExample) {
  const Bytes answer = cat({hex("00 00 00 00 00 00 00 1F 00 00 00 0F"), ascii("Request Socket"),
                            hex("00 00 00 00 02 00 00 00 00 00 00 00 00")});
  const Bytes body = bodyOf(answer);
  const nmb::HandshakeAnswer a = replies::decodeHandshake(body.data(), body.size(), "Request Socket");
  EXPECT_EQ(a.role, "Request Socket");
  EXPECT_EQ(a.version, (std::array<std::int32_t, 3>{2, 0, 0}));
  EXPECT_THROW(replies::decodeHandshake(body.data(), body.size(), "Execute Socket"), nmb::ProtocolError);
}

TEST(Handshake, EmptyRoleMeansTheRoleMessageWasNotTaken) {
  const Bytes body = cat({hex("00 00 00 01 00"), int32(2), int32(0), int32(0)});
  EXPECT_THROW(replies::decodeHandshake(body.data(), body.size(), "Request Socket"), nmb::ProtocolError);
}

TEST(Notifications, PreStepWorkedExample) {
  const Bytes frame =
      cat({hex("00 00 00 00 00 00 00 16 00 00 00 0E"), ascii("PreStepCalled"), hex("00 00 00 00 07")});
  const Bytes body = bodyOf(frame);
  const nmb::NotificationBody n = replies::decodeNotification(body.data(), body.size());
  EXPECT_EQ(n.name, "PreStepCalled");
  EXPECT_EQ(n.timePoint, 7);
  EXPECT_THROW(replies::decodeNotification(body.data(), body.size() - 1), nmb::ProtocolError);
}

// Random bodies, and random damage to valid ones: a decoder either returns or
// throws one of the client's errors, and reads nothing outside the body (the
// sanitizer builds check the latter).
TEST(ReplyRobustness, ArbitraryBytesOnlyEverGiveClientErrors) {
  std::mt19937 random(12345);
  const Bytes valid = bodyOf(
      frame(cat({text("tGetExistingMeansOfROI"), int32(1), int32(2), hex("3F 80 00 00 40 00 00 00")})));
  const Request request("tGetExistingMeansOfROI", {1, 2});
  int decoded = 0;
  for (int round = 0; round < 20000; ++round) {
    Bytes body;
    if (round % 2) {
      body = valid;
      body.resize(random() % (valid.size() + 1));
      if (!body.empty()) body[random() % body.size()] ^= static_cast<std::uint8_t>(1u << (random() % 8));
    } else {
      body.resize(random() % 48);
      for (auto& b : body) b = static_cast<std::uint8_t>(random());
      if (body.size() >= 4 && round % 4 == 0) body[0] = body[1] = body[2] = 0;  // plausible text counts
    }
    auto attempt = [&](auto decoder) {
      try {
        decoder(body.data(), body.size(), request);
        ++decoded;
      } catch (const nmb::ClientError&) {
      }
    };
    attempt(replies::decodeReals);
    attempt(replies::decodeSamples);
    attempt(replies::decodeCoordsRun);
    attempt(replies::decodeClassifier);
    attempt(replies::decodeInt);
    attempt(replies::decodeText);
    attempt([](const std::uint8_t* p, std::size_t n, const Request&) {
      return replies::decodeNotification(p, n);
    });
    attempt([](const std::uint8_t* p, std::size_t n, const Request&) {
      return replies::decodeHandshake(p, n, "Request Socket");
    });
  }
  EXPECT_GT(decoded, 0);  // the undamaged prefixes still decode
}
