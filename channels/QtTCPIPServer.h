// QtTCPIPServer: one client connection of the plug-in's TCP service, served on
// a thread of its own.  (Placeholder until the channel layer is written.)
#pragma once

#include <QThread>

#include <atomic>

class TcpIpExport;

class QtTCPIPServer : public QThread {
  Q_OBJECT
 public:
  QtTCPIPServer(TcpIpExport* owner, quint16 port) : owner(owner), port(port) {}
  void requestStop() { stopRequested = true; }
  bool isConnected() const { return false; }

 protected:
  void run() override {}

 private:
  TcpIpExport* owner;
  quint16 port;
  std::atomic<bool> stopRequested{false};
};
