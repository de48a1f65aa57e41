// Which TCP ports this process listens on, from Linux's /proc: the listening
// sockets of the process's network namespace (/proc/self/net/tcp and tcp6)
// matched by inode against the process's own open files.
#include <dirent.h>
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

}  // namespace simsys
