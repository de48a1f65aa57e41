#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "channels/NativeSocket.h"

namespace nativesocket {

namespace {

// Full buffers, and a system short of memory for socket buffers for a moment:
// both pass, and neither says anything about the client.
bool isTemporary(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS || error == ENOMEM;
}

int pollRetrying(pollfd* fds, nfds_t count, int timeoutMs) {
  for (;;) {
    const int n = ::poll(fds, count, timeoutMs);
    if (n >= 0 || errno != EINTR) return n;
  }
}

}  // namespace

Status sendSome(qintptr descriptor, const char* data, qint64 size, qint64& sent) {
  sent = 0;
  for (;;) {
    // MSG_NOSIGNAL: a closed peer must not raise SIGPIPE in Nimbrel's process.
    const ssize_t n = ::send(int(descriptor), data, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent = n;
      return Status::Ok;
    }
    if (errno == EINTR) continue;
    return isTemporary(errno) ? Status::WouldBlock : Status::Gone;
  }
}

Status checkPeer(qintptr descriptor) {
  char scratch[4096];
  // Bounded: a client that floods its execute connection is looked at again
  // at the next sweep.
  for (int round = 0; round < 16; ++round) {
    const ssize_t n = ::recv(int(descriptor), scratch, sizeof scratch, MSG_DONTWAIT);
    if (n == 0) return Status::Gone;
    if (n < 0) {
      if (errno == EINTR) continue;
      return isTemporary(errno) ? Status::Ok : Status::Gone;
    }
  }
  return Status::Ok;
}

bool waitWritable(qintptr descriptor, int timeoutMs) {
  pollfd watch{int(descriptor), POLLOUT, 0};
  return pollRetrying(&watch, 1, timeoutMs) > 0;
}

// The wake-up channel is a pipe: wake() writes a byte, wait() watches its
// reading end and empties it.
struct Poller::Platform {
  int wakeRead = -1;
  int wakeWrite = -1;
  std::vector<pollfd> fds;  // [0] the pipe, then the watched descriptors
};

Poller::Poller() : platform(new Platform) {
  int ends[2];
  if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return;
  platform->wakeRead = ends[0];
  platform->wakeWrite = ends[1];
  platform->fds.push_back(pollfd{ends[0], POLLIN, 0});
}

Poller::~Poller() {
  if (platform->wakeRead >= 0) ::close(platform->wakeRead);
  if (platform->wakeWrite >= 0) ::close(platform->wakeWrite);
}

bool Poller::isValid() const { return platform->wakeRead >= 0; }

void Poller::wake() {
  const char byte = 1;
  // A full pipe already holds a wake-up.
  while (::write(platform->wakeWrite, &byte, 1) < 0 && errno == EINTR) {
  }
}

void Poller::clear() { platform->fds.resize(1); }

void Poller::add(qintptr descriptor) { platform->fds.push_back(pollfd{int(descriptor), POLLOUT, 0}); }

void Poller::wait(int timeoutMs) {
  for (pollfd& fd : platform->fds) fd.revents = 0;
  if (pollRetrying(platform->fds.data(), nfds_t(platform->fds.size()), timeoutMs < 0 ? -1 : timeoutMs) <= 0)
    return;
  if (platform->fds[0].revents != 0) {
    char scratch[64];
    while (::read(platform->wakeRead, scratch, sizeof scratch) > 0) {
    }
  }
}

bool Poller::isReady(int index) const { return platform->fds[std::size_t(index) + 1].revents != 0; }

}  // namespace nativesocket
