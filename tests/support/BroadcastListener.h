// BroadcastListener: receives discovery datagrams on UDP port 55555, shared
// with any other listener on the machine.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QUdpSocket>
#include <QVector>

class BroadcastListener {
 public:
  BroadcastListener();
  bool isBound() const { return bound; }
  // Arrival times (ms since construction) of the datagrams equal to
  // `expected`, collected for `durationMs`; others are ignored.
  QVector<qint64> collect(const QByteArray& expected, int durationMs);

 private:
  QUdpSocket socket;
  bool bound = false;
  QElapsedTimer clock;
};
