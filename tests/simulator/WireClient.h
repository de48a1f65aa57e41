// WireClient: a small client of the plug-in's TCP service for end-to-end
// tests, written against the wire format (8-byte big-endian length, then a
// body of big-endian counted strings, 32-bit ints, 4-byte floats, 16-bit
// samples) with plain POSIX sockets on 127.0.0.1.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Reads the elements of one received body in order.
class BodyReader {
 public:
  explicit BodyReader(std::vector<uint8_t> body) : body_(std::move(body)) {}
  std::string text();
  int32_t int32();
  float real();
  int16_t sample();
  size_t left() const { return body_.size() - position_; }
  bool failed() const { return failed_; }

 private:
  bool need(size_t n);
  std::vector<uint8_t> body_;
  size_t position_ = 0;
  bool failed_ = false;
};

class WireClient {
 public:
  ~WireClient();

  // Connects to 127.0.0.1:port, retrying until `timeoutMs` has passed, and
  // performs the role handshake.  False when no connection or no answer.
  bool connect(int port, const std::string& role, int timeoutMs);
  // Sends a request of a name and integer arguments; receives the reply body.
  bool request(const std::string& name, const std::vector<int32_t>& args, std::vector<uint8_t>& reply,
               int timeoutMs = 5000);
  // Receives one framed body; false on time-out or a closed connection.
  bool receive(std::vector<uint8_t>& body, int timeoutMs);
  // True when the peer closed the connection within `timeoutMs`.
  bool waitForClose(int timeoutMs);

 private:
  bool send(const std::vector<uint8_t>& body);
  bool readExactly(uint8_t* data, size_t n, int timeoutMs);
  int fd_ = -1;
};

// The body of a text element, for building requests.
void appendText(std::vector<uint8_t>& body, const std::string& text);
void appendInt(std::vector<uint8_t>& body, int32_t value);
