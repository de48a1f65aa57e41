// Decoders for every kind of body the plug-in sends: request replies (by
// value family), the role handshake answer and step notifications.
//
// Each decoder takes the body alone (the bytes after the 8-byte length) and
// the request it answers, and either returns the typed value or throws:
// NimbrelError for an error reply ("Wrong request!" and the plug-in's text),
// ProtocolError for anything else that is not exactly the expected reply
// (other echoed name or arguments, truncated values, trailing bytes).  They
// read nothing outside the given bytes, whatever those hold.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "nmbclient/Request.h"
#include "nmbclient/Wire.h"

namespace nmb {

struct Dims {
  std::int32_t x = 0, y = 0, z = 0;
  std::int64_t voxels() const { return std::int64_t{x} * y * z; }
};

struct VoxelCoords {
  std::int32_t x = 0, y = 0, z = 0;
  bool operator==(const VoxelCoords& o) const { return x == o.x && y == o.y && z == o.z; }
};

// The classifier's current output.  `produced` is false for the empty reply
// the plug-in sends when the classifier reports an unlisted state.
struct ClassifierOutput {
  bool produced = false;
  std::int32_t result = 0;
  std::vector<float> values;  // one per pair of classes
};

// What the plug-in answers to a role message: the role it understood and
// three integers (2, 0, 0), the protocol version.
struct HandshakeAnswer {
  std::string role;
  std::array<std::int32_t, 3> version{};
};

struct NotificationBody {
  std::string name;
  std::int32_t timePoint = 0;
};

namespace replies {

// Checks the reply's head: throws NimbrelError for an error body, ProtocolError
// if the echoed name or arguments differ from `request`.  Returns a reader
// placed after the echo.
wire::WireReader open(const std::uint8_t* body, std::size_t size, const Request& request);

std::int32_t decodeInt(const std::uint8_t* body, std::size_t size, const Request& request);
float decodeReal(const std::uint8_t* body, std::size_t size, const Request& request);
std::string decodeText(const std::uint8_t* body, std::size_t size, const Request& request);
Dims decodeDims(const std::uint8_t* body, std::size_t size, const Request& request);
VoxelCoords decodeCoords(const std::uint8_t* body, std::size_t size, const Request& request);
std::vector<VoxelCoords> decodeCoordsRun(const std::uint8_t* body, std::size_t size, const Request& request);
// Runs of values: their length is whatever the body holds.
std::vector<std::int16_t> decodeSamples(const std::uint8_t* body, std::size_t size, const Request& request);
std::vector<float> decodeReals(const std::uint8_t* body, std::size_t size, const Request& request);
ClassifierOutput decodeClassifier(const std::uint8_t* body, std::size_t size, const Request& request);

// The handshake answer; throws ProtocolError unless it names `expectedRole`.
HandshakeAnswer decodeHandshake(const std::uint8_t* body, std::size_t size, const char* expectedRole);
NotificationBody decodeNotification(const std::uint8_t* body, std::size_t size);

}  // namespace replies
}  // namespace nmb
