#include "nmbclient/Replies.h"

#include <string_view>

#include "nmbclient/Errors.h"
#include "protocol/ProtocolTexts.h"

namespace nmb::replies {

namespace {

std::string quoted(std::string_view s) { return "\"" + std::string(s) + "\""; }

}  // namespace

wire::WireReader open(const std::uint8_t* body, std::size_t size, const Request& request) {
  wire::WireReader reader(body, size);
  if (size == 0) throw ProtocolError("empty reply to " + quoted(request.name));
  bool isNull = false;
  const std::string name = reader.readText(&isNull);
  if (!isNull && name == texts::kWrongRequest) {
    std::string text = reader.readText();
    throw NimbrelError(std::move(text));
  }
  if (isNull || name != request.name)
    throw ProtocolError("reply names " + quoted(name) + " but the request was " + quoted(request.name));
  for (std::size_t i = 0; i < request.argCount; ++i) {
    const std::int32_t echoed = reader.readInt32();
    if (echoed != request.args[i])
      throw ProtocolError("reply to " + quoted(request.name) + " echoes argument " + std::to_string(i + 1) +
                          " as " + std::to_string(echoed) + " instead of " + std::to_string(request.args[i]));
  }
  return reader;
}

std::int32_t decodeInt(const std::uint8_t* body, std::size_t size, const Request& request) {
  wire::WireReader reader = open(body, size, request);
  const std::int32_t value = reader.readInt32();
  reader.expectEnd();
  return value;
}

float decodeReal(const std::uint8_t* body, std::size_t size, const Request& request) {
  wire::WireReader reader = open(body, size, request);
  const float value = reader.readReal();
  reader.expectEnd();
  return value;
}

std::string decodeText(const std::uint8_t* body, std::size_t size, const Request& request) {
  wire::WireReader reader = open(body, size, request);
  std::string value = reader.readText();
  reader.expectEnd();
  return value;
}

Dims decodeDims(const std::uint8_t* body, std::size_t size, const Request& request) {
  wire::WireReader reader = open(body, size, request);
  Dims dims;
  dims.x = reader.readInt32();
  dims.y = reader.readInt32();
  dims.z = reader.readInt32();
  reader.expectEnd();
  return dims;
}

VoxelCoords decodeCoords(const std::uint8_t* body, std::size_t size, const Request& request) {
  wire::WireReader reader = open(body, size, request);
  VoxelCoords c;
  c.x = reader.readInt32();
  c.y = reader.readInt32();
  c.z = reader.readInt32();
  reader.expectEnd();
  return c;
}

std::vector<VoxelCoords> decodeCoordsRun(const std::uint8_t* body, std::size_t size, const Request& request) {
  wire::WireReader reader = open(body, size, request);
  if (reader.remaining() % 12 != 0) throw ProtocolError("reply ends inside a voxel's coordinates");
  std::vector<VoxelCoords> coords(reader.remaining() / 12);
  for (VoxelCoords& c : coords) {
    c.x = reader.readInt32();
    c.y = reader.readInt32();
    c.z = reader.readInt32();
  }
  return coords;
}

std::vector<std::int16_t> decodeSamples(const std::uint8_t* body, std::size_t size, const Request& request) {
  return open(body, size, request).readInt16Run();
}

std::vector<float> decodeReals(const std::uint8_t* body, std::size_t size, const Request& request) {
  return open(body, size, request).readRealRun();
}

ClassifierOutput decodeClassifier(const std::uint8_t* body, std::size_t size, const Request& request) {
  ClassifierOutput output;
  if (size == 0) return output;  // the plug-in's answer for a classifier state it does not list
  wire::WireReader reader = open(body, size, request);
  output.produced = true;
  output.result = reader.readInt32();
  output.values = reader.readRealRun();
  return output;
}

HandshakeAnswer decodeHandshake(const std::uint8_t* body, std::size_t size, const char* expectedRole) {
  wire::WireReader reader(body, size);
  HandshakeAnswer answer;
  answer.role = reader.readText();
  for (std::int32_t& v : answer.version) v = reader.readInt32();
  reader.expectEnd();
  if (answer.role.empty())
    throw ProtocolError("the plug-in did not take the role message (it answered with an empty role)");
  if (answer.role != expectedRole)
    throw ProtocolError("handshake answered role " + quoted(answer.role) + " instead of " +
                        quoted(expectedRole));
  return answer;
}

NotificationBody decodeNotification(const std::uint8_t* body, std::size_t size) {
  wire::WireReader reader(body, size);
  NotificationBody n;
  bool isNull = false;
  n.name = reader.readText(&isNull);
  if (isNull) throw ProtocolError("notification without a name");
  n.timePoint = reader.readInt32();
  reader.expectEnd();
  return n;
}

}  // namespace nmb::replies
