// Which TCP ports this process listens on, from the IP helper's tables of
// listening sockets with their owning process (IPv4 and IPv6).
// Winsock 2 before the IP helper, which otherwise pulls in the old winsock.h.
// The headers declare a socket's TCP figures (SIO_TCP_INFO) for Windows 10
// 1703 and later only; older systems refuse the call at run time.
#ifndef NTDDI_VERSION
#define _WIN32_WINNT 0x0A00
#define NTDDI_VERSION 0x0A000003
#endif
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <mstcpip.h>
// clang-format on

#include <cstdint>
#include <vector>

#include "simulator/platform/System.h"

namespace simsys {

namespace {

// The rows of this process's TCP sockets on `port` in `kind`'s table that
// `keep` accepts.
template <typename Table, typename Keep>
int ownSockets(ULONG family, TCP_TABLE_CLASS kind, int port, Keep keep) {
  std::vector<unsigned char> buffer;
  DWORD size = 0;
  DWORD rc = ERROR_INSUFFICIENT_BUFFER;
  // The table may grow between the size query and the read.
  for (int tries = 0; tries < 4 && rc == ERROR_INSUFFICIENT_BUFFER; ++tries) {
    buffer.resize(size);
    rc = GetExtendedTcpTable(buffer.empty() ? nullptr : buffer.data(), &size, FALSE, family, kind, 0);
  }
  if (rc != NO_ERROR) return -1;
  const auto* table = reinterpret_cast<const Table*>(buffer.data());
  const DWORD self = GetCurrentProcessId();
  int count = 0;
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const auto& row = table->table[i];
    if (row.dwOwningPid == self && ntohs(static_cast<u_short>(row.dwLocalPort)) == port && keep(row)) ++count;
  }
  return count;
}

template <typename Table>
bool ownListener(ULONG family, int port) {
  return ownSockets<Table>(family, TCP_TABLE_OWNER_PID_LISTENER, port, [](const auto&) { return true; }) > 0;
}

}  // namespace

bool processListensOn(int port) {
  return ownListener<MIB_TCPTABLE_OWNER_PID>(AF_INET, port) ||
         ownListener<MIB_TCP6TABLE_OWNER_PID>(AF_INET6, port);
}

namespace {

// A role message: an 8-byte length, a 4-byte count and "Execute Socket" or
// "Request Socket" with its NUL; the handshake's answer adds three integers.
constexpr ULONG64 kRoleMessageBytes = 27;
constexpr ULONG64 kHandshakeAnswerBytes = 39;
// Socket handles are small multiples of 4; the plug-in's are among the first.
constexpr std::uintptr_t kHighestHandle = 0x8000;

int portOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  return -1;
}

}  // namespace

// The plug-in's sockets are this process's own handles, so each is asked
// directly: its ports, and (Windows 10 and later) what the client has sent
// and what the plug-in has answered.  The IP helper's tables name no owner
// under Wine.  Where a socket gives no byte counts, every established
// connection to the port counts.
int countAnnouncedConnections(int port) {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) return -1;
  int count = 0;
  for (std::uintptr_t handle = 4; handle < kHighestHandle; handle += 4) {
    const SOCKET socket = static_cast<SOCKET>(handle);
    int type = 0;
    int size = sizeof type;
    if (getsockopt(socket, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &size) != 0 ||
        type != SOCK_STREAM)
      continue;
    sockaddr_storage local{}, peer{};
    int localSize = sizeof local, peerSize = sizeof peer;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 || portOf(local) != port ||
        getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0)
      continue;
    DWORD version = 0, returned = 0;
    TCP_INFO_v0 info{};
    if (WSAIoctl(socket, SIO_TCP_INFO, &version, sizeof version, &info, sizeof info, &returned, nullptr,
                 nullptr) != 0) {
      ++count;
      continue;
    }
    if (info.State == TCPSTATE_ESTABLISHED && info.BytesIn == kRoleMessageBytes &&
        info.BytesOut >= kHandshakeAnswerBytes)
      ++count;
  }
  return count;
}

}  // namespace simsys
