#include "bench/ReplayServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "bench/Loopback.h"

namespace {

std::string handshakeAnswer(const std::string& role) {
  std::string body;
  auto put32 = [&body](std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) body.push_back(char(v >> shift));
  };
  put32(std::uint32_t(role.size() + 1));
  body += role;
  body.push_back('\0');
  put32(2);
  put32(0);
  put32(0);
  std::string frame;
  for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(char(std::uint64_t(body.size()) >> shift));
  return frame + body;
}

}  // namespace

ReplayServer::ReplayServer() : table_(std::make_shared<Table>()) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = 0;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 128) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("baseline server cannot listen");
  port_ = ntohs(address.sin_port);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

ReplayServer::~ReplayServer() {
  stopping_ = true;
  ::shutdown(listenFd_, SHUT_RDWR);
  acceptThread_.join();
  ::close(listenFd_);
  std::unique_lock<std::mutex> lock(mutex_);
  for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
  threadEnded_.wait(lock, [this] { return activeThreads_ == 0; });
  for (int fd : executeFds_) ::close(fd);
}

void ReplayServer::setReplies(const std::map<std::string, std::string>& replies) {
  auto table = std::make_shared<Table>();
  // Keyed by body: the server reads the length field separately.
  for (const auto& entry : replies) (*table)[entry.first.substr(8)] = entry.second;
  std::lock_guard<std::mutex> lock(mutex_);
  table_ = table;
}

void ReplayServer::acceptLoop() {
  while (!stopping_) {
    const int fd = ::accept(listenFd_, nullptr, nullptr);
    if (fd < 0) {
      if (stopping_) return;
      continue;
    }
    setNoDelay(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    openFds_.push_back(fd);
    ++activeThreads_;
    std::thread([this, fd] {
      const bool keepOpen = serve(fd);
      std::lock_guard<std::mutex> lock(mutex_);
      if (!keepOpen) {
        openFds_.erase(std::remove(openFds_.begin(), openFds_.end(), fd), openFds_.end());
        ::close(fd);
      }
      --activeThreads_;
      threadEnded_.notify_all();
    }).detach();
  }
}

bool ReplayServer::serve(int fd) {
  std::vector<std::uint8_t> body;
  if (!receiveFrame(fd, body)) return false;
  const std::string role = body.size() > 4 ? std::string(body.begin() + 4, body.end() - 1) : std::string();
  const std::string answer = handshakeAnswer(role);
  if (!sendAll(fd, answer.data(), answer.size())) return false;
  std::shared_ptr<const Table> table;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (role == "Execute Socket") {
      executeFds_.push_back(fd);
      return true;
    }
    table = table_;
  }
  static const std::string kEmpty(8, '\0');
  std::string key;
  while (receiveFrame(fd, body)) {
    key.assign(body.begin(), body.end());
    const auto found = table->find(key);
    const std::string& reply = found != table->end() ? found->second : kEmpty;
    if (!sendAll(fd, reply.data(), reply.size())) break;
  }
  return false;
}

std::size_t ReplayServer::executeConnections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return executeFds_.size();
}

void ReplayServer::sendToExecuteConnections(const std::string& frame) {
  // The list only grows while a benchmark sends, and the host thread is the
  // only sender; the copy keeps the lock out of the timed sends.
  std::vector<int> fds;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fds = executeFds_;
  }
  for (int fd : fds) ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
}

void ReplayServer::closeExecuteConnections() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (int fd : executeFds_) {
    ::shutdown(fd, SHUT_RDWR);
    openFds_.erase(std::remove(openFds_.begin(), openFds_.end(), fd), openFds_.end());
    ::close(fd);
  }
  executeFds_.clear();
}
