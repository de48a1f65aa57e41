#include "tests/simulator/WireClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace {

long long nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

void appendText(std::vector<uint8_t>& body, const std::string& text) {
  appendInt(body, static_cast<int32_t>(text.size() + 1));
  body.insert(body.end(), text.begin(), text.end());
  body.push_back(0);
}

void appendInt(std::vector<uint8_t>& body, int32_t value) {
  const uint32_t v = static_cast<uint32_t>(value);
  for (int shift = 24; shift >= 0; shift -= 8) body.push_back(static_cast<uint8_t>(v >> shift));
}

bool BodyReader::need(size_t n) {
  if (failed_ || left() < n) failed_ = true;
  return !failed_;
}

int32_t BodyReader::int32() {
  if (!need(4)) return 0;
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = v << 8 | body_[position_++];
  return static_cast<int32_t>(v);
}

float BodyReader::real() {
  const uint32_t bits = static_cast<uint32_t>(int32());
  float value;
  std::memcpy(&value, &bits, 4);
  return value;
}

int16_t BodyReader::sample() {
  if (!need(2)) return 0;
  const uint16_t v = static_cast<uint16_t>(body_[position_] << 8 | body_[position_ + 1]);
  position_ += 2;
  return static_cast<int16_t>(v);
}

std::string BodyReader::text() {
  const uint32_t n = static_cast<uint32_t>(int32());
  if (!need(n)) return std::string();
  std::string value(reinterpret_cast<const char*>(&body_[position_]), n);
  position_ += n;
  if (!value.empty() && value.back() == '\0') value.pop_back();
  return value;
}

WireClient::~WireClient() {
  if (fd_ >= 0) close(fd_);
}

bool WireClient::connect(int port, const std::string& role, int timeoutMs) {
  const long long deadline = nowMs() + timeoutMs;
  for (;;) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) break;
    close(fd_);
    fd_ = -1;
    if (nowMs() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::vector<uint8_t> body;
  appendText(body, role);
  if (!send(body)) return false;
  std::vector<uint8_t> answer;
  if (!receive(answer, 5000)) return false;
  BodyReader reader(answer);
  return reader.text() == role && reader.int32() == 2 && !reader.failed();
}

bool WireClient::send(const std::vector<uint8_t>& body) {
  std::vector<uint8_t> frame;
  const uint64_t n = body.size();
  for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(static_cast<uint8_t>(n >> shift));
  frame.insert(frame.end(), body.begin(), body.end());
  size_t sent = 0;
  while (sent < frame.size()) {
    const ssize_t k = ::send(fd_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (k <= 0) return false;
    sent += static_cast<size_t>(k);
  }
  return true;
}

bool WireClient::readExactly(uint8_t* data, size_t n, int timeoutMs) {
  const long long deadline = nowMs() + timeoutMs;
  size_t got = 0;
  while (got < n) {
    const long long left = deadline - nowMs();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    const ssize_t k = recv(fd_, data + got, n - got, 0);
    if (k <= 0) return false;
    got += static_cast<size_t>(k);
  }
  return true;
}

bool WireClient::receive(std::vector<uint8_t>& body, int timeoutMs) {
  uint8_t length[8];
  if (!readExactly(length, 8, timeoutMs)) return false;
  uint64_t n = 0;
  for (uint8_t b : length) n = n << 8 | b;
  if (n > (1u << 28)) return false;
  body.assign(static_cast<size_t>(n), 0);
  return readExactly(body.data(), body.size(), timeoutMs);
}

bool WireClient::request(const std::string& name, const std::vector<int32_t>& args,
                         std::vector<uint8_t>& reply, int timeoutMs) {
  std::vector<uint8_t> body;
  appendText(body, name);
  for (int32_t a : args) appendInt(body, a);
  return send(body) && receive(reply, timeoutMs);
}

bool WireClient::waitForClose(int timeoutMs) {
  const long long deadline = nowMs() + timeoutMs;
  uint8_t byte;
  while (nowMs() < deadline) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const ssize_t k = recv(fd_, &byte, 1, 0);
    if (k <= 0) return true;
  }
  return false;
}
