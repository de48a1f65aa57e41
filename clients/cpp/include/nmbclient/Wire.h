// The byte level of the protocol: every message is an 8-byte signed big-endian
// body length followed by the body; bodies hold big-endian 16/32/64-bit
// integers, 4-byte big-endian IEEE singles and counted texts (a 32-bit count
// that includes a terminating NUL, then the bytes; count 0 is a null text).
//
// WireReader reads a body that is already in memory and never reads outside
// it: every read checks what is left and throws ProtocolError when the body
// is too short, so arbitrary bytes can be fed to it safely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace nmb::wire {

// Bytes of the length field in front of every body.
inline constexpr std::size_t kLengthFieldSize = 8;

std::uint16_t loadBigEndian16(const std::uint8_t* p);
std::uint32_t loadBigEndian32(const std::uint8_t* p);
std::uint64_t loadBigEndian64(const std::uint8_t* p);

// Appends one complete request frame (length, counted name, the arguments as
// 32-bit ints) to `out`, so several requests can share one write.
void appendRequestFrame(std::vector<std::uint8_t>& out, std::string_view name,
                        std::initializer_list<std::int32_t> args);
void appendRequestFrame(std::vector<std::uint8_t>& out, std::string_view name, const std::int32_t* args,
                        std::size_t argCount);

// Appends one frame whose body is the single text `text` (the role message).
void appendTextFrame(std::vector<std::uint8_t>& out, std::string_view text);

class WireReader {
 public:
  WireReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::size_t remaining() const { return size_ - pos_; }
  bool atEnd() const { return pos_ == size_; }

  std::int16_t readInt16();
  std::int32_t readInt32();
  float readReal();
  // A counted text up to its first NUL (all bytes if it has none).  `isNull`
  // tells a null text (count 0) from an empty one.
  std::string readText(bool* isNull = nullptr);

  // The rest of the body as a run of values; the rest must be a whole number
  // of values.  Decoded in one pass over the bytes.
  std::vector<std::int16_t> readInt16Run();
  std::vector<std::int32_t> readInt32Run();
  std::vector<float> readRealRun();

  // Throws ProtocolError unless the whole body has been read.
  void expectEnd() const;

 private:
  const std::uint8_t* take(std::size_t n, const char* what);
  std::size_t runLength(std::size_t elementSize, const char* what) const;

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace nmb::wire
