#include "channels/QtTCPIPServer.h"

#include <QTcpSocket>

#include "channels/Framing.h"
#include "channels/MessageTransfer.h"
#include "channels/Outbox.h"
#include "plugin/Translation.h"
#include "protocol/ProtocolTexts.h"

namespace {

// Room for one frame of the largest accepted size and the length field of the
// next one: whatever a client sends beyond that waits in the system's buffers,
// not in Nimbrel's memory.
constexpr qint64 kSocketReadBufferBytes = framing::kMaxFrameBodyBytes + 2 * framing::kLengthFieldSize;

}  // namespace

QtTCPIPServer::QtTCPIPServer(TcpIpExport* owner, qintptr socketDescriptor, const QHostAddress& peer,
                             std::atomic<quint64>* handshakeCounter)
    : QThread(nullptr),
      owner(owner),
      socketDescriptor(socketDescriptor),
      peer(peer),
      handshakeCounter(handshakeCounter) {
  // An execute connection is used from the host's thread after its own thread
  // ended; the socket's error signal then crosses threads and needs its
  // argument type known to the meta-type system.
  qRegisterMetaType<QAbstractSocket::SocketError>();
}

QtTCPIPServer::~QtTCPIPServer() {
  if (tcpSocket != nullptr) {
    tcpSocket->disconnectFromHost();
    // Only a connection with unsent bytes lingers in the closing state; one
    // whose peer already left is closed by now and must not hold the caller.
    if (tcpSocket->state() != QAbstractSocket::UnconnectedState) tcpSocket->waitForDisconnected(1000);
    delete tcpSocket;
  } else {
    // The thread never ran, so never took the connection over: close it here.
    QTcpSocket orphan;
    if (orphan.setSocketDescriptor(socketDescriptor)) orphan.abort();
  }
}

QString QtTCPIPServer::roleName() const { return role; }

bool QtTCPIPServer::hasClient() const { return clientAccepted.load(std::memory_order_acquire); }

bool QtTCPIPServer::hasEnded() const { return runEnded.load(std::memory_order_acquire); }

void QtTCPIPServer::requestStop() { stopRequested = true; }

void QtTCPIPServer::takeHandshakeNumber() {
  handshakeNumber.store(++*handshakeCounter, std::memory_order_release);
}

bool QtTCPIPServer::isConnected() const {
  // A request channel's thread ends only once its client has left (or at a
  // stop): no system call is needed to tell, so the lists' lock may be held.
  return !hasEnded();
}

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
  // Straight to the descriptor: no copy into Qt's write buffer, and a large
  // reply leaves in as few system calls as the connection allows.  A client
  // that reads late gets the whole reply however long it takes, as long as
  // it takes some bytes now and then (the no-progress limit of every
  // outbox).  A reply that cannot be finished must not leave a cut frame on
  // an open connection, where the client would read every later reply out of
  // step: the connection is closed instead.
  if (tcpSocket->state() != QAbstractSocket::ConnectedState) return false;
  if (framing::sendWhole(tcpSocket->socketDescriptor(), block, stopRequested, Outbox::kNoProgressLimitMs) ==
      framing::SendResult::Sent)
    return true;
  tcpSocket->abort();
  return false;
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

void QtTCPIPServer::run() {
  tcpSocket = new QTcpSocket();
  if (tcpSocket->setSocketDescriptor(socketDescriptor)) {
    tcpSocket->setReadBufferSize(kSocketReadBufferBytes);
    tcpSocket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    tcpSocket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    identifyClient();
  }
  // A connection that could not be set up still takes its place in the order.
  if (handshakeNumber.load() == 0) takeHandshakeNumber();
  clientAccepted.store(true, std::memory_order_release);

  while (!stopRequested) {
    if (role == translation::channel(texts::kRequestRole)) {
      serveRequests();
      if (tcpSocket->state() == QAbstractSocket::UnconnectedState) stopRequested = true;
    } else {
      // An execute connection (or one whose role is unknown) is only written
      // to by the notification delivery thread from now on.
      if (tcpSocket->state() == QAbstractSocket::ConnectedState)
        notificationDescriptor = tcpSocket->socketDescriptor();
      stopRequested = true;
    }
  }
  runEnded.store(true, std::memory_order_release);
}
