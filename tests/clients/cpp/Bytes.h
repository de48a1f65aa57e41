// Building byte strings for wire tests: hex as written in the protocol's
// worked examples, and ASCII for the texts inside them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace testbytes {

using Bytes = std::vector<std::uint8_t>;

// "00 00 00 0D" -> {0, 0, 0, 13}; spaces are ignored.
inline Bytes hex(const std::string& text) {
  Bytes out;
  std::string digits;
  for (char c : text)
    if (c != ' ') digits += c;
  if (digits.size() % 2) throw std::invalid_argument("odd hex");
  for (std::size_t i = 0; i < digits.size(); i += 2)
    out.push_back(std::stoi(digits.substr(i, 2), nullptr, 16));
  return out;
}

inline Bytes ascii(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A counted, NUL-terminated text as the protocol writes it.
inline Bytes text(const std::string& s) {
  const std::uint32_t n = static_cast<std::uint32_t>(s.size() + 1);
  Bytes out(4 + s.size() + 1, 0);
  out[0] = std::uint8_t(n >> 24);
  out[1] = std::uint8_t(n >> 16);
  out[2] = std::uint8_t(n >> 8);
  out[3] = std::uint8_t(n);
  std::copy(s.begin(), s.end(), out.begin() + 4);
  return out;
}

inline Bytes int32(std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  return {std::uint8_t(u >> 24), std::uint8_t(u >> 16), std::uint8_t(u >> 8), std::uint8_t(u)};
}

// The 8-byte length field followed by the body.
inline Bytes frame(const Bytes& body) {
  Bytes out(8);
  std::uint64_t n = body.size();
  for (int i = 7; i >= 0; --i, n >>= 8) out[i] = std::uint8_t(n);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

}  // namespace testbytes
