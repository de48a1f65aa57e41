// The discovery broadcast: clients on the local network learn the service's
// port from a UDP datagram that the waiting listener sends about once a second.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include "protocol/ProtocolTexts.h"

namespace discovery {

// UDP destination port of every discovery datagram.
inline constexpr quint16 kBroadcastPort = 55555;
// Datagrams are more than this far apart.
inline constexpr int kBroadcastIntervalMs = 1000;

// "Nimbrel Broadcast: " followed by `port` in decimal, no NUL, no line end.
inline QByteArray datagram(quint16 port) {
  return QByteArray(texts::kBroadcastPrefix) + QByteArray::number(port);
}

}  // namespace discovery
