// QtTCPIPServer's framed transfer and the role handshake.
#include <QTcpSocket>

#include "channels/Framing.h"
#include "channels/MessageTransfer.h"
#include "channels/NativeSocket.h"
#include "channels/QtTCPIPServer.h"

bool QtTCPIPServer::receiveMessage(QByteArray& message) {
  switch (framing::receiveFrame(*tcpSocket, readTimeout, stopRequested, message)) {
    case framing::ReceiveResult::Received:
      return true;
    case framing::ReceiveResult::Oversized:
      // No request is anywhere near this size: the peer is not a client of
      // ours.  Dropping the connection is the only way not to buffer it.
      tcpSocket->abort();
      return false;
    case framing::ReceiveResult::Failed:
      break;
  }
  return false;
}

bool QtTCPIPServer::sendMessage(QByteArray block) {
  // Straight to the descriptor, with the same wait for a slow reader: no copy
  // into Qt's write buffer, no switching of its write notifier, and a large
  // reply leaves in as few system calls as the connection allows.  Qt's
  // buffer is empty unless an earlier block did not leave in time; then the
  // bytes keep their order by going through Qt as well.
  if (tcpSocket->bytesToWrite() == 0 && tcpSocket->state() == QAbstractSocket::ConnectedState)
    return nativesocket::sendWithin(tcpSocket->socketDescriptor(), block.constData(), block.size(),
                                    framing::kWriteTimeoutMs);
  return framing::sendBlock(*tcpSocket, block);
}

void QtTCPIPServer::discardPendingInput() {
  while (!tcpSocket->atEnd()) tcpSocket->readAll();
}

void QtTCPIPServer::identifyClient() {
  QByteArray message;
  role.clear();
  if (receiveMessage(message)) {
    int at = 0;
    framing::TextView text;
    if (framing::readText(message, at, text)) {
      role = QString::fromUtf8(text.chars, text.length);
    } else {
      discardPendingInput();
    }
  }
  // Numbered before the answer goes out: a client that connects once it has
  // its answer is always numbered after this one.
  takeHandshakeNumber();
  sendMessage(framing::handshakeAnswerBlock(role));
}
