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
    rc = GetExtendedTcpTable(buffer.empty() ? nullptr : buffer.data(), &size, FALSE, family,
                             kind, 0);
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

// The IP helper's tables give no byte counts: every established connection
// counts, request connections included.
int countAnnouncedConnections(int port) {
  const auto established = [](const auto& row) { return row.dwState == MIB_TCP_STATE_ESTAB; };
  const int v4 = ownSockets<MIB_TCPTABLE_OWNER_PID>(AF_INET, TCP_TABLE_OWNER_PID_CONNECTIONS, port, established);
  const int v6 = ownSockets<MIB_TCP6TABLE_OWNER_PID>(AF_INET6, TCP_TABLE_OWNER_PID_CONNECTIONS, port, established);
  if (v4 < 0 && v6 < 0) return -1;
  return (v4 > 0 ? v4 : 0) + (v6 > 0 ? v6 : 0);
}

}  // namespace simsys
