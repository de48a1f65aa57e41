// AccessRules: who may connect to the service, where it listens and where it
// announces itself.  A lab sets them in NMBNetworkPlugin.ini beside the
// plug-in (plugin/SettingsFile.h); the defaults are the service as it is
// without that file: every address served, in any number, on every interface,
// with the discovery datagram to 255.255.255.255.
//
// A value type: the host's thread builds it at each pre-run and hands a copy
// to the channel worker, which applies it to the connections it accepts from
// then on.
#pragma once

#include <QHostAddress>
#include <QPair>
#include <QVector>

using Subnet = QPair<QHostAddress, int>;

struct AccessRules {
  // The networks whose clients are served; empty: every address.  An IPv6
  // network also holds the IPv4 clients whose mapped form (::ffff:a.b.c.d)
  // lies in it.
  QVector<Subnet> allow;
  // The local address the service listens on.
  QHostAddress listen{QHostAddress::Any};
  // How many open connections one address may hold; 0: any number.
  int maxConnectionsPerAddress = 0;
  // Where the discovery datagram goes; a null address: nowhere.
  QHostAddress broadcastTo{QHostAddress::Broadcast};

  // The rules that serve this computer alone, where settings the lab wrote
  // cannot be read: clients from 127.0.0.1 and ::1 only, listening on
  // 127.0.0.1, the discovery datagram to 127.0.0.1.
  static AccessRules loopbackOnly();
  // The clients loopbackOnly() allows.
  static QVector<Subnet> loopbackClients();

  // Whether a client from `peer` may be served.  An IPv4 client that reached
  // the dual-stack listener as ::ffff:a.b.c.d is judged as a.b.c.d.
  bool allows(const QHostAddress& peer) const;
  // Whether any rule may refuse a connection, which is then looked at before
  // a thread is started for it.
  bool restrictsClients() const { return !allow.isEmpty() || maxConnectionsPerAddress > 0; }
};

// A client's address as the rules see it: an IPv4 client that reached the
// dual-stack listener appears as ::ffff:a.b.c.d and is taken as a.b.c.d.
QHostAddress clientAddress(const QHostAddress& peer);

// "a.b.c.d" for a single address, "a.b.c.0/24" for a network.
QString subnetText(const Subnet& subnet);
