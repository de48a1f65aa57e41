// The channel worker: TcpIpExport's own thread.
//
// It keeps one listening socket open for its whole life, so no client is ever
// refused or reset for want of a listener, and starts a channel thread for each
// connection at once, so a slow or silent client delays nobody else's
// handshake.  Channels that have identified their client are filed by role; the
// worker also prunes request channels whose client left and sends the discovery
// datagram while it runs.
#include <QElapsedTimer>
#include <QHostAddress>
#include <QUdpSocket>
#include <algorithm>

#include "channels/ConnectionListener.h"
#include "channels/Discovery.h"
#include "channels/QtTCPIPServer.h"
#include "plugin/LogLines.h"
#include "plugin/TcpIpExport.h"
#include "protocol/ProtocolTexts.h"

namespace {

// The worker's poll interval: each round waits this long for new connections.
constexpr int kAcceptWaitMs = 1;

// Opens the listener on `port` and tells the host's log when that changes
// something the user must know: the first failure on a port (another program
// holds it, or it is not allowed), and the success of a later try.  Called on
// the worker's thread; the host's log function may be called from any thread.
void listenAndReport(ConnectionListener& listener, quint16 port, bool& failureReported) {
  if (listener.listenForClients(QHostAddress::Any, port)) {
    if (failureReported)
      loglines::write(QStringLiteral("<br><b>Info</b> - Listening on port: <b>%1</b><br>").arg(port));
    failureReported = false;
    return;
  }
  if (failureReported) return;
  failureReported = true;
  loglines::write(QStringLiteral("<b>Error</b> - Cannot listen on port <b>%1</b>: %2. Clients cannot "
                                 "connect; the plug-in keeps trying every second.")
                      .arg(port)
                      .arg(listener.errorString()));
}

}  // namespace

void TcpIpExport::run() {
  ConnectionListener listener;
  QUdpSocket broadcastSocket;
  QElapsedTimer broadcastTimer;
  quint16 listeningPort = port.load();
  bool listenFailureReported = false;
  listenAndReport(listener, listeningPort, listenFailureReported);
  broadcastTimer.start();
  // Channels not filed yet; the worker alone owns them.
  QVector<QtTCPIPServer*> unfiled;
  // Numbers the handshakes, so channels are filed in the order of theirs.
  std::atomic<quint64> handshakeCounter{0};
  quint64 nextToFile = 1;

  while (!stopWorker.load()) {
    // A later pre-run may have chosen another port.
    if (port.load() != listeningPort) {
      listener.close();
      listeningPort = port.load();
      listenFailureReported = false;
      listenAndReport(listener, listeningPort, listenFailureReported);
    }

    const QVector<qintptr> accepted = listener.takeAccepted(kAcceptWaitMs);
    if (!listener.isListening()) QThread::msleep(kAcceptWaitMs);
    for (qintptr descriptor : accepted) {
      auto* channel = new QtTCPIPServer(this, descriptor, &handshakeCounter);
      channel->start(QThread::InheritPriority);
      if (!channel->isRunning() && !channel->isFinished()) {
        // No thread could be started (the process is out of threads): drop
        // this connection rather than keep it waiting for ever.
        delete channel;
        continue;
      }
      unfiled.append(channel);
    }

    fileIdentifiedChannels(unfiled, nextToFile);
    pruneChannels();
    notificationDelivery.sweep();
    releaseRetiredChannels();

    if (broadcastTimer.elapsed() > discovery::kBroadcastIntervalMs) {
      // A port that was taken when the worker tried it may have come free.
      if (!listener.isListening()) listenAndReport(listener, listeningPort, listenFailureReported);
      // Only a service that listens is announced: clients would otherwise be
      // sent to whatever else holds the port.
      if (listener.isListening())
        broadcastSocket.writeDatagram(discovery::datagram(listeningPort),
                                      QHostAddress(QHostAddress::Broadcast), discovery::kBroadcastPort);
      broadcastTimer.restart();
    }
  }

  listener.close();
  for (QtTCPIPServer* channel : unfiled) releaseChannel(channel);
  workerEnded.store(true, std::memory_order_release);
}

void TcpIpExport::fileIdentifiedChannels(QVector<QtTCPIPServer*>& unfiled, quint64& nextToFile) {
  QVector<QtTCPIPServer*> identified;
  for (;;) {
    const auto next = std::find_if(unfiled.begin(), unfiled.end(), [nextToFile](QtTCPIPServer* channel) {
      return channel->handshakeSequence() == nextToFile;
    });
    if (next == unfiled.end()) break;
    QtTCPIPServer* channel = *next;
    if (!channel->hasClient()) break;
    // An execute connection passes to the delivery thread only once its own
    // thread has really ended (its event dispatcher, which watches the
    // socket, is gone only then); the channels after it wait for it, so the
    // lists keep the order of the handshakes.
    const bool isRequest = channel->roleName() == tr(texts::kRequestRole);
    if (!isRequest && !(channel->hasEnded() && channel->wait(0))) break;
    identified.append(channel);
    unfiled.erase(next);
    ++nextToFile;
  }
  if (identified.isEmpty()) return;
  MutexLock lock(&channelListsMutex);
  for (QtTCPIPServer* channel : identified) {
    if (channel->roleName() == tr(texts::kRequestRole)) {
      requestChannels.append(channel);
    } else {
      executeChannels.append(channel);
      notificationDelivery.add(channel, channel->notificationSocket());
    }
  }
}
