#include "nmbclient/Wire.h"

#include <cstring>

#include "nmbclient/Errors.h"

namespace nmb::wire {

namespace {

void appendBigEndian(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
  for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void storeLength(std::vector<std::uint8_t>& out, std::size_t frameStart) {
  const std::uint64_t bodySize = out.size() - frameStart - kLengthFieldSize;
  for (std::size_t i = 0; i < kLengthFieldSize; ++i)
    out[frameStart + i] = static_cast<std::uint8_t>(bodySize >> (8 * (kLengthFieldSize - 1 - i)));
}

void appendText(std::vector<std::uint8_t>& out, std::string_view text) {
  appendBigEndian(out, text.size() + 1, 4);
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
}

}  // namespace

std::uint16_t loadBigEndian16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

std::uint32_t loadBigEndian32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

std::uint64_t loadBigEndian64(const std::uint8_t* p) {
  return (std::uint64_t{loadBigEndian32(p)} << 32) | loadBigEndian32(p + 4);
}

void appendRequestFrame(std::vector<std::uint8_t>& out, std::string_view name, const std::int32_t* args,
                        std::size_t argCount) {
  const std::size_t start = out.size();
  out.resize(start + kLengthFieldSize);
  appendText(out, name);
  for (std::size_t i = 0; i < argCount; ++i) appendBigEndian(out, static_cast<std::uint32_t>(args[i]), 4);
  storeLength(out, start);
}

void appendRequestFrame(std::vector<std::uint8_t>& out, std::string_view name,
                        std::initializer_list<std::int32_t> args) {
  appendRequestFrame(out, name, args.begin(), args.size());
}

void appendTextFrame(std::vector<std::uint8_t>& out, std::string_view text) {
  appendRequestFrame(out, text, nullptr, 0);
}

const std::uint8_t* WireReader::take(std::size_t n, const char* what) {
  if (remaining() < n) throw ProtocolError(std::string("reply ends inside ") + what);
  const std::uint8_t* p = data_ + pos_;
  pos_ += n;
  return p;
}

std::int16_t WireReader::readInt16() {
  return static_cast<std::int16_t>(loadBigEndian16(take(2, "a 16-bit value")));
}

std::int32_t WireReader::readInt32() {
  return static_cast<std::int32_t>(loadBigEndian32(take(4, "an integer")));
}

float WireReader::readReal() {
  const std::uint32_t bits = loadBigEndian32(take(4, "a real value"));
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::string WireReader::readText(bool* isNull) {
  const std::uint32_t count = loadBigEndian32(take(4, "a text count"));
  if (isNull) *isNull = count == 0;
  const auto* bytes = reinterpret_cast<const char*>(take(count, "a text"));
  const void* nul = std::memchr(bytes, 0, count);
  return std::string(bytes, nul ? static_cast<const char*>(nul) - bytes : count);
}

std::size_t WireReader::runLength(std::size_t elementSize, const char* what) const {
  if (remaining() % elementSize != 0) throw ProtocolError(std::string("reply ends inside a run of ") + what);
  return remaining() / elementSize;
}

std::vector<std::int16_t> WireReader::readInt16Run() {
  std::vector<std::int16_t> values(runLength(2, "16-bit values"));
  const std::uint8_t* p = take(values.size() * 2, "16-bit values");
  for (std::size_t i = 0; i < values.size(); ++i)
    values[i] = static_cast<std::int16_t>(loadBigEndian16(p + 2 * i));
  return values;
}

std::vector<std::int32_t> WireReader::readInt32Run() {
  std::vector<std::int32_t> values(runLength(4, "integers"));
  const std::uint8_t* p = take(values.size() * 4, "integers");
  for (std::size_t i = 0; i < values.size(); ++i)
    values[i] = static_cast<std::int32_t>(loadBigEndian32(p + 4 * i));
  return values;
}

std::vector<float> WireReader::readRealRun() {
  std::vector<float> values(runLength(4, "real values"));
  const std::uint8_t* p = take(values.size() * 4, "real values");
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::uint32_t bits = loadBigEndian32(p + 4 * i);
    std::memcpy(&values[i], &bits, sizeof bits);
  }
  return values;
}

void WireReader::expectEnd() const {
  if (!atEnd())
    throw ProtocolError("reply has " + std::to_string(remaining()) + " unexpected trailing bytes");
}

}  // namespace nmb::wire
