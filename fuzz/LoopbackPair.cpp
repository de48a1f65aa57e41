#include "fuzz/LoopbackPair.h"

#include <QHostAddress>
#include <cstdio>
#include <cstdlib>

LoopbackPair::LoopbackPair() {
  if (!listener.listen(QHostAddress::LocalHost, 0)) {
    std::fprintf(stderr, "loopback listen failed\n");
    std::abort();
  }
  reconnect();
}

void LoopbackPair::reconnect() {
  serverSide.reset();
  clientSide = std::make_unique<QTcpSocket>();
  clientSide->connectToHost(QHostAddress::LocalHost, listener.serverPort());
  if (!clientSide->waitForConnected(2000) || !listener.waitForNewConnection(2000)) {
    std::fprintf(stderr, "loopback connect failed\n");
    std::abort();
  }
  serverSide.reset(listener.nextPendingConnection());
  serverSide->setParent(nullptr);
}

void LoopbackPair::sendFromClient(const QByteArray& bytes) {
  if (bytes.isEmpty()) return;
  clientSide->write(bytes);
  while (clientSide->bytesToWrite() > 0) {
    if (!clientSide->waitForBytesWritten(2000)) break;
  }
}

void LoopbackPair::drainServer() {
  serverSide->readAll();
  while (serverSide->waitForReadyRead(0)) serverSide->readAll();
}

QByteArray LoopbackPair::takeClientInput() {
  QByteArray all = clientSide->readAll();
  while (clientSide->waitForReadyRead(0)) all += clientSide->readAll();
  return all;
}

bool LoopbackPair::connected() const {
  return clientSide->state() == QAbstractSocket::ConnectedState &&
         serverSide->state() == QAbstractSocket::ConnectedState;
}
