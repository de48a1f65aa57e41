// QtTCPIPServer: one client connection of the plug-in's TCP service, served on
// a thread of its own.
//
// The channel worker (TcpIpExport::run) keeps the one listening socket of the
// service; for every connection it accepts it creates a channel with the
// connection's descriptor and starts it.  The channel's thread creates its
// QTcpSocket from the descriptor (so the socket belongs to the thread that uses
// it), runs the role handshake and sets clientAccepted.  Then:
//  - role "Request Socket": the thread serves the client's requests
//    (serveRequests) until the connection drops or a stop is requested;
//  - any other role (normally "Execute Socket", also an unreadable or unknown
//    role): the thread ends at once and the open connection receives the step
//    notifications (see NotificationDelivery).
// Because the listening socket stays with the worker, a channel has no listener
// and sends no discovery datagrams of its own.
//
// Threads: the channel thread runs run(), the handshake and serveRequests.  The
// worker and the host's thread poll hasClient, hasEnded and isConnected and
// call requestStop; a channel is deleted once its thread has ended (request
// channels by the worker or the host's post-run, execute channels by the
// worker alone).  After an execute channel's thread has ended, its connection
// is written by the notification delivery (NotificationDelivery: the host's
// thread, or the delivery thread) through the bare descriptor: never through
// the QTcpSocket, which belongs to the ended thread.  The socket, the role and
// that descriptor pass between threads without a lock: the channel thread
// writes them before it publishes them (clientAccepted for the role, hasEnded
// for the socket and descriptor), and nobody writes them afterwards.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QThread>
#include <atomic>

#include "channels/MessageTransfer.h"

class QTcpSocket;
class TcpIpExport;

class QtTCPIPServer : public QThread {
  Q_OBJECT

 public:
  // `owner` executes the requests and is not owned.  `socketDescriptor` is
  // the accepted connection, which the channel owns from now on (closed with
  // the channel, also if the thread never ran); `peer` its client's address
  // (null when unknown).  `handshakeCounter`, shared by the channels of one
  // worker and outliving them, numbers the finished handshakes 1, 2, ...
  QtTCPIPServer(TcpIpExport* owner, qintptr socketDescriptor, const QHostAddress& peer,
                std::atomic<quint64>* handshakeCounter);
  // Closes the connection.  Call only once the thread has ended.
  ~QtTCPIPServer() override;

  // The client's address as the connection was accepted; any thread.
  const QHostAddress& peerAddress() const { return peer; }
  // The role the client sent; meaningful once hasClient() is true.
  QString roleName() const;
  // True once the client has been identified and answered.
  bool hasClient() const;
  // True once run() has returned.  Reading it true orders everything run()
  // did before the caller's next steps.  QThread::isRunning and isFinished
  // give that order too, but through Qt's own lock, which ThreadSanitizer
  // cannot see into: whoever touches what the thread left behind (deleting
  // the channel, taking over its socket) reads this first.
  bool hasEnded() const;
  // This channel's number from the handshake counter; 0 until hasClient().
  quint64 handshakeSequence() const { return handshakeNumber.load(std::memory_order_acquire); }
  // Whether the client is still connected.  While the thread runs the
  // thread itself watches the connection and the answer is true; a request
  // channel's thread ends once its connection is gone.  Makes no system call.
  // Used for request channels; an execute channel's client is looked after
  // by the notification delivery instead.
  bool isConnected() const;
  // Asks the thread to end; does not wait.
  void requestStop();

  // The connection's descriptor once an execute channel's thread has ended
  // (see hasEnded); -1 for request channels and for connections that could
  // not be set up.  The notification delivery writes to it, never through the
  // QTcpSocket, which belongs to the ended thread.
  qintptr notificationSocket() const { return notificationDescriptor; }

 protected:
  void run() override;

 private:
  // One framed message from the client: false when a wait for bytes failed or
  // the frame was oversized (the connection is then closed).
  bool receiveMessage(QByteArray& message);
  // Writes one complete block, however long the client takes to read it,
  // unless a stop or the no-progress limit ends the wait: the connection is
  // then closed, never left with a cut frame.  Returns whether it was sent.
  bool sendMessage(QByteArray block);
  // The role handshake: reads the role message, sets `role`, answers.
  void identifyClient();
  // Drops everything the socket holds.
  void discardPendingInput();
  // Takes this channel's place in the worker's handshake order.
  void takeHandshakeNumber();
  // The request-serving step: receives requests and answers each until a
  // receive fails or a stop is requested.  Only the channel's own thread
  // serves its requests, so nothing here needs a lock.  Defined with the
  // request protocol, in protocol/RequestLoop.cpp.
  void serveRequests();

  // Set by run() before it takes the connection over; null while the thread
  // has not run.  Channel thread, then (once it has ended) the host's.
  QTcpSocket* tcpSocket = nullptr;
  // Written once by the handshake, before clientAccepted is set.
  QString role;
  // Each wait for incoming bytes.
  static constexpr int readTimeout = framing::kReadTimeoutMs;
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> clientAccepted{false};
  TcpIpExport* owner;

  // The accepted connection until run() wraps it in tcpSocket.
  const qintptr socketDescriptor;
  const QHostAddress peer;
  std::atomic<bool> runEnded{false};
  std::atomic<quint64>* handshakeCounter;
  std::atomic<quint64> handshakeNumber{0};

  // An execute connection's descriptor, taken before the thread ends.
  qintptr notificationDescriptor = -1;

  // Tests identify channels by their client's port through this.
  friend struct ChannelListsProbe;
};
