#include "channels/AccessRules.h"

namespace {

// ::ffff:a.b.c.d, the form in which an IPv6 network holds the IPv4 address.
QHostAddress mappedToIpv6(const QHostAddress& ipv4) {
  Q_IPV6ADDR bytes{};
  bytes[10] = bytes[11] = 0xff;
  const quint32 value = ipv4.toIPv4Address();
  for (int i = 0; i < 4; ++i) bytes[12 + i] = quint8(value >> (24 - 8 * i));
  return QHostAddress(bytes);
}

}  // namespace

AccessRules AccessRules::loopbackOnly() {
  AccessRules rules;
  rules.allow = loopbackClients();
  rules.listen = QHostAddress(QHostAddress::LocalHost);
  rules.broadcastTo = QHostAddress(QHostAddress::LocalHost);
  return rules;
}

QVector<Subnet> AccessRules::loopbackClients() {
  return {{QHostAddress(QHostAddress::LocalHost), 32}, {QHostAddress(QHostAddress::LocalHostIPv6), 128}};
}

bool AccessRules::allows(const QHostAddress& peer) const {
  if (allow.isEmpty()) return true;
  const QHostAddress client = clientAddress(peer);
  const QHostAddress asIpv6 =
      client.protocol() == QAbstractSocket::IPv4Protocol ? mappedToIpv6(client) : client;
  for (const Subnet& subnet : allow)
    if (client.isInSubnet(subnet) || asIpv6.isInSubnet(subnet)) return true;
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
