// LoopbackPair: two connected QTcpSockets on 127.0.0.1, made once per fuzzing
// process, so a harness can push arbitrary bytes through the plug-in's socket
// code without starting any of its threads.
//
// Both sockets belong to the calling thread; everything is blocking, every
// wait has a time-out.
#pragma once

#include <QByteArray>
#include <QTcpServer>
#include <QTcpSocket>
#include <memory>

class LoopbackPair {
 public:
  // Connects a fresh pair; aborts the process if loopback is unusable, since
  // no input can be tried then.
  LoopbackPair();

  // Writes `bytes` from the client side and waits until they have left it;
  // on loopback they are then in the server side's receive buffer.
  void sendFromClient(const QByteArray& bytes);
  // Drops everything that arrived at the server side, so the next input
  // starts on a clean stream.
  void drainServer();
  // Drops everything that arrived at the client side.
  QByteArray takeClientInput();
  // True while both ends are connected; a harness that made the plug-in's
  // code abort the connection reconnects.
  bool connected() const;
  void reconnect();

  QTcpSocket& server() { return *serverSide; }

 private:
  QTcpServer listener;
  std::unique_ptr<QTcpSocket> clientSide;
  std::unique_ptr<QTcpSocket> serverSide;
};
