#include "channels/MessageTransfer.h"

#include <QDataStream>
#include <QElapsedTimer>
#include <QTcpSocket>

#include "channels/Framing.h"

namespace framing {

namespace {

enum class WaitResult { MoreBytes, Failed, Stopped };

// One wait of up to `timeoutMs` for new bytes, in slices so that `stop` is
// looked at in between.  A closed connection ends the wait at once.
WaitResult waitForBytesOrStop(QTcpSocket& socket, int timeoutMs, const std::atomic<bool>& stop) {
  QElapsedTimer waited;
  waited.start();
  for (;;) {
    if (stop.load()) return WaitResult::Stopped;
    const qint64 left = timeoutMs - waited.elapsed();
    if (left <= 0) return WaitResult::Failed;
    if (socket.waitForReadyRead(int(qMin<qint64>(left, kStopPollSliceMs)))) return WaitResult::MoreBytes;
    if (socket.error() != QAbstractSocket::SocketTimeoutError ||
        socket.state() != QAbstractSocket::ConnectedState)
      return WaitResult::Failed;
  }
}

}  // namespace

ReceiveResult receiveFrame(QTcpSocket& socket, int readTimeoutMs, const std::atomic<bool>& stop,
                           QByteArray& body) {
  body.clear();
  while (socket.bytesAvailable() < kLengthFieldSize) {
    const WaitResult waited = waitForBytesOrStop(socket, readTimeoutMs, stop);
    if (waited == WaitResult::Failed) return ReceiveResult::Failed;
    if (waited == WaitResult::Stopped) {
      // What arrived of the length field is consumed; the length counts as 0.
      socket.read(kLengthFieldSize);
      return ReceiveResult::Received;
    }
  }

  QDataStream in(&socket);
  setUpStream(in);
  qint64 length = 0;
  in >> length;
  if (length <= 0) return ReceiveResult::Received;
  if (length > kMaxFrameBodyBytes) return ReceiveResult::Oversized;

  while (socket.bytesAvailable() < length) {
    if (!socket.waitForReadyRead(readTimeoutMs)) return ReceiveResult::Failed;
  }
  body = socket.read(length);
  return ReceiveResult::Received;
}

bool sendBlock(QTcpSocket& socket, const QByteArray& block) {
  // A socket that was closed (by the peer, or by us after a protocol breach)
  // cannot take the bytes; writing to it would only make Qt complain.
  const qint64 written = socket.isOpen() ? socket.write(block) : 0;
  // The client has nobody to tell, the host's log no use for it: a request
  // channel finds out at its next receive.
  if (written <= 0 && socket.state() != QAbstractSocket::ConnectedState) return false;
  // Hand the bytes to the system at once; only what it could not take yet
  // needs a wait.  Saves a poll per message on the hot paths (replies and
  // notifications on the host's thread).
  socket.flush();
  if (socket.bytesToWrite() == 0) return true;
  return socket.waitForBytesWritten(kWriteTimeoutMs);
}

}  // namespace framing
