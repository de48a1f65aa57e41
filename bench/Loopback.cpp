#include "bench/Loopback.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace {

void putBigEndian32(std::string& out, std::uint32_t v) {
  const char bytes[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  out.append(bytes, 4);
}

std::string framed(const std::string& body) {
  std::string out;
  const std::uint64_t n = body.size();
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(char(n >> shift));
  return out + body;
}

std::string text(const std::string& s) {
  std::string out;
  putBigEndian32(out, std::uint32_t(s.size() + 1));
  out += s;
  out.push_back('\0');
  return out;
}

}  // namespace

std::string requestFrame(const std::string& name, const std::vector<std::int32_t>& args) {
  std::string body = text(name);
  for (std::int32_t a : args) putBigEndian32(body, std::uint32_t(a));
  return framed(body);
}

std::string roleFrame(const std::string& role) { return framed(text(role)); }

void setNoDelay(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int connectLoopback(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  setNoDelay(fd);
  return fd;
}

bool sendAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= std::size_t(n);
  }
  return true;
}

bool receiveAll(int fd, void* data, std::size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::recv(fd, p, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= std::size_t(n);
  }
  return true;
}

bool receiveFrame(int fd, std::vector<std::uint8_t>& body) {
  std::uint8_t head[8];
  if (!receiveAll(fd, head, sizeof head)) return false;
  std::uint64_t n = 0;
  for (std::uint8_t b : head) n = (n << 8) | b;
  if (n > (std::uint64_t(1) << 31)) return false;
  body.resize(std::size_t(n));
  return n == 0 || receiveAll(fd, body.data(), body.size());
}

std::uint16_t freeTcpPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = 0;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("no free TCP port");
  ::close(fd);
  return ntohs(address.sin_port);
}

bool inPrivateNetwork() {
  // Asks the kernel about this process's own network namespace (sysfs may
  // show another one).
  struct if_nameindex* interfaces = ::if_nameindex();
  if (interfaces == nullptr) return false;
  bool onlyLoopback = true;
  for (struct if_nameindex* i = interfaces; i->if_index != 0; ++i)
    if (std::strcmp(i->if_name, "lo") != 0) onlyLoopback = false;
  ::if_freenameindex(interfaces);
  return onlyLoopback;
}

double residentBytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) * 1024.0;
  return 0;
}

RawClient::RawClient(std::uint16_t port, const std::string& role) {
  fd_ = connectLoopback(port);
  if (fd_ < 0) throw std::runtime_error("cannot connect to 127.0.0.1:" + std::to_string(port));
  const std::string hello = roleFrame(role);
  if (!sendAll(fd_, hello.data(), hello.size()) || !receiveFrame(fd_, body_))
    throw std::runtime_error("no handshake answer");
}

RawClient::~RawClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawClient::roundTrip(const std::string& request) {
  return sendAll(fd_, request.data(), request.size()) && receiveFrame(fd_, body_);
}
