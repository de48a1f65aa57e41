// Which TCP ports this process listens on, from the IP helper's tables of
// listening sockets with their owning process (IPv4 and IPv6).
// Winsock 2 before the IP helper, which otherwise pulls in the old winsock.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
// clang-format on

#include <vector>

#include "simulator/platform/System.h"

namespace simsys {

namespace {

template <typename Table>
bool ownListener(ULONG family, int port) {
  std::vector<unsigned char> buffer;
  DWORD size = 0;
  DWORD rc = ERROR_INSUFFICIENT_BUFFER;
  // The table may grow between the size query and the read.
  for (int tries = 0; tries < 4 && rc == ERROR_INSUFFICIENT_BUFFER; ++tries) {
    buffer.resize(size);
    rc = GetExtendedTcpTable(buffer.empty() ? nullptr : buffer.data(), &size, FALSE, family,
                             TCP_TABLE_OWNER_PID_LISTENER, 0);
  }
  if (rc != NO_ERROR) return false;
  const auto* table = reinterpret_cast<const Table*>(buffer.data());
  const DWORD self = GetCurrentProcessId();
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const auto& row = table->table[i];
    if (row.dwOwningPid == self && ntohs(static_cast<u_short>(row.dwLocalPort)) == port) return true;
  }
  return false;
}

}  // namespace

bool processListensOn(int port) {
  return ownListener<MIB_TCPTABLE_OWNER_PID>(AF_INET, port) ||
         ownListener<MIB_TCP6TABLE_OWNER_PID>(AF_INET6, port);
}

}  // namespace simsys
