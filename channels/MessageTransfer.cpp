#include "channels/MessageTransfer.h"

#include <QDataStream>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QThread>

#include "channels/Framing.h"
#include "channels/NativeSocket.h"

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
    if (waitForBytesOrStop(socket, readTimeoutMs, stop) != WaitResult::MoreBytes)
      return ReceiveResult::Failed;
  }
  body = socket.read(length);
  return ReceiveResult::Received;
}

SendResult sendWhole(qintptr descriptor, const QByteArray& block, const std::atomic<bool>& stop,
                     int noProgressLimitMs) {
  const char* data = block.constData();
  qint64 left = block.size();
  QElapsedTimer sinceProgress;
  sinceProgress.start();
  bool calledWritable = false;
  for (;;) {
    qint64 sent = 0;
    if (nativesocket::sendSome(descriptor, data, left, sent) == nativesocket::Status::Gone)
      return SendResult::Gone;
    data += sent;
    left -= sent;
    if (left == 0) return SendResult::Sent;
    if (sent > 0) sinceProgress.restart();
    if (stop.load()) return SendResult::Stopped;
    if (sinceProgress.elapsed() >= noProgressLimitMs) return SendResult::Stalled;
    // A system short of buffers may call the connection writable and still
    // refuse the bytes: pause a moment rather than spin.
    if (calledWritable && sent == 0) QThread::msleep(1);
    calledWritable = nativesocket::waitWritable(descriptor, kStopPollSliceMs);
  }
}

}  // namespace framing
