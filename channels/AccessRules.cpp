#include "channels/AccessRules.h"

bool AccessRules::allows(const QHostAddress& peer) const {
  if (allow.isEmpty()) return true;
  for (const Subnet& subnet : allow)
    if (peer.isInSubnet(subnet)) return true;
  return false;
}

QHostAddress clientAddress(const QHostAddress& peer) {
  bool mapped = false;
  const quint32 ipv4 = peer.toIPv4Address(&mapped);
  return mapped && peer.protocol() == QAbstractSocket::IPv6Protocol ? QHostAddress(ipv4) : peer;
}

QString subnetText(const Subnet& subnet) {
  const int full = subnet.first.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
  if (subnet.second == full) return subnet.first.toString();
  return subnet.first.toString() + QLatin1Char('/') + QString::number(subnet.second);
}
