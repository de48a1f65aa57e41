// ConnectionListener: the service's listening socket, which hands out accepted
// connections as bare descriptors.
//
// Owned and used by the channel worker thread alone.  Each accepted connection
// is kept as a descriptor until takeAccepted() passes it on to the channel
// thread that will own its socket; no QTcpSocket is created here, so Qt's limit
// on pending connections never makes it stop accepting.
#pragma once

#include <QTcpServer>
#include <QVector>

class ConnectionListener : public QTcpServer {
  Q_OBJECT

 public:
  using QTcpServer::QTcpServer;
  // Closes the descriptors nobody took.
  ~ConnectionListener() override;

  // QTcpServer::listen with room for many simultaneous clients: Qt asks the
  // system for a queue of only 50 connections, and a client beyond that sees
  // its connection attempt dropped and retried a second later.
  bool listenForClients(const QHostAddress& address, quint16 port);

  // Accepts what has arrived, waiting up to `timeoutMs` for a first connection,
  // and returns the descriptors accepted so far (the caller owns them).
  QVector<qintptr> takeAccepted(int timeoutMs);

 protected:
  void incomingConnection(qintptr socketDescriptor) override;

 private:
  QVector<qintptr> accepted;
};
