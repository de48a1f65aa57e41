#include "tests/support/BroadcastListener.h"

#include <QNetworkDatagram>

#include "channels/Discovery.h"

BroadcastListener::BroadcastListener() {
  bound = socket.bind(QHostAddress::AnyIPv4, discovery::kBroadcastPort,
                      QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint);
  clock.start();
}

QVector<qint64> BroadcastListener::collect(const QByteArray& expected, int durationMs) {
  QVector<qint64> arrivals;
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < durationMs) {
    if (!socket.hasPendingDatagrams() &&
        !socket.waitForReadyRead(int(qMax<qint64>(1, durationMs - timer.elapsed()))))
      continue;
    while (socket.hasPendingDatagrams()) {
      if (socket.receiveDatagram().data() == expected) arrivals.append(clock.elapsed());
    }
  }
  return arrivals;
}
