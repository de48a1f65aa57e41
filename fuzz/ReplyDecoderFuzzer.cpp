// Fuzzes the C++ client's reply decoders with whatever a server might send.
// Byte 0 picks the decoder, byte 1 the request the reply is said to answer,
// the next 16 bytes its four arguments; the rest is the body.  A decoder may
// return a value or throw the client's own errors, nothing else, and a value
// it returns never holds more than the body could carry.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "nmbclient/Errors.h"
#include "nmbclient/Replies.h"
#include "protocol/ProtocolTexts.h"

namespace {

constexpr const char* kNames[] = {
    texts::request::kGetCurrentTimePoint,
    texts::request::kGetDimsOfFunctionalData,
    texts::request::kGetProjectName,
    texts::request::kGetMeanOfROI,
    texts::request::kGetExistingMeansOfROI,
    texts::request::kGetCoordsOfVoxelOfROI,
    texts::request::kGetAllCoordsOfVoxelsOfROI,
    texts::request::kGetValueOfAllVoxelsAtTime,
    texts::request::kGetRawValueOfAllVoxelsAtTime,
    texts::request::kGetCurrentClassifierOutput,
    texts::request::kGetPearsonCorrelation,
    texts::request::kGetInstantProxyCorrelationAtTimePoint,
};
constexpr std::size_t kHeadBytes = 18;

void bounded(std::size_t elements, std::size_t elementBytes, std::size_t bodySize) {
  if (elements * elementBytes > bodySize) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeadBytes) return -1;
  const char* name = kNames[data[1] % (sizeof(kNames) / sizeof(kNames[0]))];
  std::int32_t args[4];
  std::memcpy(args, data + 2, sizeof(args));
  const int argCount = data[0] >> 5 & 3;
  nmb::Request request = argCount == 0   ? nmb::Request(name)
                         : argCount == 1 ? nmb::Request(name, {args[0]})
                         : argCount == 2 ? nmb::Request(name, {args[0], args[1]})
                                         : nmb::Request(name, {args[0], args[1], args[2]});
  const std::uint8_t* body = data + kHeadBytes;
  const std::size_t n = size - kHeadBytes;
  try {
    switch (data[0] % 13) {
      case 0:
        nmb::replies::decodeInt(body, n, request);
        break;
      case 1:
        nmb::replies::decodeReal(body, n, request);
        break;
      case 2:
        bounded(nmb::replies::decodeText(body, n, request).size(), 1, n);
        break;
      case 3:
        nmb::replies::decodeDims(body, n, request);
        break;
      case 4:
        nmb::replies::decodeCoords(body, n, request);
        break;
      case 5:
        bounded(nmb::replies::decodeCoordsRun(body, n, request).size(), 12, n);
        break;
      case 6:
        bounded(nmb::replies::decodeSamples(body, n, request).size(), 2, n);
        break;
      case 7:
        bounded(nmb::replies::decodeReals(body, n, request).size(), 4, n);
        break;
      case 8:
        bounded(nmb::replies::decodeClassifier(body, n, request).values.size(), 4, n);
        break;
      case 9:
        nmb::replies::decodeHandshake(body, n, texts::kRequestRole);
        break;
      case 10:
        nmb::replies::decodeHandshake(body, n, texts::kExecuteRole);
        break;
      case 11:
        bounded(nmb::replies::decodeNotification(body, n).name.size(), 1, n);
        break;
      default:
        nmb::replies::open(body, n, request);
        break;
    }
  } catch (const nmb::ClientError&) {
    // The decoders' documented way of refusing a body.
  }
  return 0;
}
