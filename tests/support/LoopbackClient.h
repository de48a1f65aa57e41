// LoopbackClient: a plain POSIX TCP client on loopback for black-box tests of
// the plug-in's service, independent of the Qt socket code under test.  Every
// call has a time-out; nothing here waits forever.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include "tests/support/FreePort.h"
#include "tests/support/Wire.h"

class LoopbackClient {
 public:
  LoopbackClient() = default;
  ~LoopbackClient();
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;

  // The receive buffer of the connections made from now on (0: the system's
  // default).  A small one makes the plug-in's sends back up soon.
  void setReceiveBuffer(int bytes) { receiveBufferBytes = bytes; }
  // One connection attempt to `host`:`port` (127.0.0.1 unless given), from
  // the local address `source` when given (another loopback address, for
  // tests of rules by client address).
  bool connectTo(quint16 port, const char* host = nullptr, const char* source = nullptr);
  // Retries until the service listens or `timeoutMs` has passed.
  bool connectWithRetry(quint16 port, int timeoutMs = 3000);
  bool send(const QByteArray& bytes);
  // Up to `count` bytes, returning early only when `timeoutMs` passes or the
  // peer closes.
  QByteArray receive(int count, int timeoutMs = 3000);
  // One whole frame, length field included; empty when none arrived whole
  // within `timeoutMs` for each of its two parts.
  QByteArray receiveFrame(int timeoutMs = 3000);
  // True once the peer has closed (or reset) the connection within `timeoutMs`;
  // bytes that arrive meanwhile are dropped.
  bool waitForClose(int timeoutMs);
  // Nothing arrives and the peer does not close within `timeoutMs`.
  bool staysQuiet(int timeoutMs);
  void close();
  // Closes with a reset instead of an orderly shutdown.
  void reset();
  quint16 localPort() const;
  bool isOpen() const { return fd >= 0; }

 private:
  int fd = -1;
  int receiveBufferBytes = 0;
};

using wire::hexBytes;
using wire::roleMessage;
