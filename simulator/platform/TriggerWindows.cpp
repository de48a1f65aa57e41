// The trigger's ways out on Windows: a loopback UDP socket.  A pseudo-terminal
// has no counterpart here (a virtual COM port pair needs a driver), so
// --trigger-tty is refused with a pointer to --trigger-udp.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on

#include <chrono>

#include "simulator/platform/System.h"

namespace simsys {

bool hasTriggerTerminal() { return false; }

bool openTriggerTerminal(const std::string&, TriggerTerminal&, std::string& error) {
  error = "--trigger-tty needs a pseudo-terminal, which Windows does not have here; use --trigger-udp PORT";
  return false;
}

bool writeTriggerTerminal(TriggerTerminal&, char) { return false; }
bool triggerTerminalAnswered(TriggerTerminal&, int) { return false; }
void closeTriggerTerminal(TriggerTerminal&) {}

long long openLoopbackSender(std::string& error) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    error = "cannot start Winsock";
    return -1;
  }
  const SOCKET sender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (sender == INVALID_SOCKET) {
    error = "cannot open a UDP socket (Winsock error " + std::to_string(WSAGetLastError()) + ")";
    WSACleanup();
    return -1;
  }
  return static_cast<long long>(sender);
}

bool sendLoopbackDatagram(long long sender, int port, const std::string& datagram) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<u_short>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sendto(static_cast<SOCKET>(sender), datagram.data(), static_cast<int>(datagram.size()), 0,
                reinterpret_cast<const sockaddr*>(&to), sizeof to) == static_cast<int>(datagram.size());
}

void closeLoopbackSender(long long sender) {
  if (sender < 0) return;
  closesocket(static_cast<SOCKET>(sender));
  WSACleanup();
}

double wallClockSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace simsys
