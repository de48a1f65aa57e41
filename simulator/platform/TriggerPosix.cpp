// The trigger's ways out on Linux: a pseudo-terminal and a loopback UDP socket.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "simulator/platform/System.h"

namespace simsys {

bool hasTriggerTerminal() { return true; }

bool openTriggerTerminal(const std::string& link, TriggerTerminal& terminal, std::string& error) {
  struct stat existing {};
  if (lstat(link.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
    error =
        "--trigger-tty: " + link + " exists and is not a link; give a path for the link to the trigger tty";
    return false;
  }
  const int writer = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (writer < 0 || grantpt(writer) != 0 || unlockpt(writer) != 0) {
    error = std::string("--trigger-tty: cannot open a pseudo-terminal: ") + std::strerror(errno);
    if (writer >= 0) close(writer);
    return false;
  }
  const char* name = ptsname(writer);
  const int otherEnd = name != nullptr ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
  if (otherEnd < 0) {
    error =
        std::string("--trigger-tty: cannot open the pseudo-terminal's other end: ") + std::strerror(errno);
    close(writer);
    return false;
  }
  // Raw: each trigger byte reaches the reader at once, and nothing the
  // simulator writes is echoed back as if the stimulus program had sent it.
  termios mode{};
  tcgetattr(otherEnd, &mode);
  cfmakeraw(&mode);
  tcsetattr(otherEnd, TCSANOW, &mode);
  unlink(link.c_str());
  if (symlink(name, link.c_str()) != 0) {
    error = "--trigger-tty: cannot make the link " + link + ": " + std::strerror(errno);
    close(otherEnd);
    close(writer);
    return false;
  }
  terminal.writer = writer;
  terminal.otherEnd = otherEnd;
  terminal.link = link;
  return true;
}

bool writeTriggerTerminal(TriggerTerminal& terminal, char byte) {
  if (terminal.writer < 0) return false;
  for (;;) {
    const ssize_t n = write(terminal.writer, &byte, 1);
    if (n == 1) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

bool triggerTerminalAnswered(TriggerTerminal& terminal, int timeoutMs) {
  if (terminal.writer < 0) return false;
  pollfd watched{terminal.writer, POLLIN, 0};
  if (poll(&watched, 1, timeoutMs) <= 0 || (watched.revents & POLLIN) == 0) return false;
  char bytes[256];
  return read(terminal.writer, bytes, sizeof bytes) > 0;
}

void closeTriggerTerminal(TriggerTerminal& terminal) {
  if (terminal.writer < 0) return;
  unlink(terminal.link.c_str());
  close(terminal.otherEnd);
  close(terminal.writer);
  terminal = TriggerTerminal();
}

long long openLoopbackSender(std::string& error) {
  const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sender < 0) error = std::string("cannot open a UDP socket: ") + std::strerror(errno);
  return sender;
}

bool sendLoopbackDatagram(long long sender, int port, const std::string& datagram) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sendto(static_cast<int>(sender), datagram.data(), datagram.size(), 0,
                reinterpret_cast<sockaddr*>(&to), sizeof to) == static_cast<ssize_t>(datagram.size());
}

void closeLoopbackSender(long long sender) {
  if (sender >= 0) close(static_cast<int>(sender));
}

double wallClockSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace simsys
