// Which TCP ports this process listens on, from Linux's /proc: the listening
// sockets of the process's network namespace (/proc/self/net/tcp and tcp6)
// matched by inode against the process's own open files.
#include <dirent.h>
#include <netinet/in.h>
// Linux's own tcp_info, with the byte counts glibc's older copy lacks.
#include <linux/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "simulator/platform/System.h"

namespace simsys {

namespace {

// The kernel's code for a socket in the LISTEN state.
constexpr int kListenState = 0x0A;

// Inodes of the sockets listening on `port` in one of /proc's tables.
void listeningInodes(const char* table, int port, std::set<unsigned long>& inodes) {
  std::ifstream file(table);
  std::string line;
  std::getline(file, line);  // the column titles
  while (std::getline(file, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
    unsigned long inode = 0;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
          inode))
      continue;
    const std::string::size_type colon = local.rfind(':');
    if (colon == std::string::npos) continue;
    if (std::strtol(local.c_str() + colon + 1, nullptr, 16) == port &&
        std::strtol(state.c_str(), nullptr, 16) == kListenState)
      inodes.insert(inode);
  }
}

}  // namespace

bool processListensOn(int port) {
  std::set<unsigned long> inodes;
  listeningInodes("/proc/self/net/tcp", port, inodes);
  listeningInodes("/proc/self/net/tcp6", port, inodes);
  if (inodes.empty()) return false;
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return false;
  bool found = false;
  while (const dirent* entry = readdir(folder)) {
    char target[64] = {};
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    unsigned long inode = 0;
    if (n > 0 && std::sscanf(target, "socket:[%lu]", &inode) == 1 && inodes.count(inode) != 0) {
      found = true;
      break;
    }
  }
  closedir(folder);
  return found;
}

namespace {

// A role message: an 8-byte length, a 4-byte count and "Execute Socket" or
// "Request Socket" with its NUL; the handshake's answer adds three integers.
constexpr unsigned kRoleMessageBytes = 27;
constexpr unsigned kHandshakeAnswerBytes = 39;
// The kernel's code for an established connection (tcpi_state).
constexpr int kEstablishedState = 1;

int localPort(int fd) {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return -1;
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  return -1;
}

}  // namespace

// The plug-in's sockets are this process's own, so the kernel's figures for
// each (TCP_INFO) are at hand: what the client has sent and what of the
// plug-in's answer it has acknowledged.
int countAnnouncedConnections(int port) {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(folder)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == dirfd(folder)) continue;
    tcp_info info{};
    socklen_t size = sizeof info;
    if (getsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_INFO, &info, &size) != 0) continue;
    if (info.tcpi_state != kEstablishedState || localPort(static_cast<int>(fd)) != port) continue;
    if (info.tcpi_bytes_received == kRoleMessageBytes && info.tcpi_bytes_acked >= kHandshakeAnswerBytes)
      ++count;
  }
  closedir(folder);
  return count;
}

}  // namespace simsys
