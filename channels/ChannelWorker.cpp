// The channel worker: TcpIpExport's own thread.
//
// It keeps one listening socket open for its whole life, so no client is ever
// refused or reset for want of a listener, and starts a channel thread for each
// connection at once, so a slow or silent client delays nobody else's
// handshake.  Channels that have identified their client are filed by role; the
// worker also prunes request channels whose client left and sends the discovery
// datagram while it runs.  The access rules of the latest pre-run decide where
// it listens, where it announces itself and which connections it serves at all
// (ClientAdmission): a refused connection never gets a thread.
#include <QElapsedTimer>
#include <QHostAddress>
#include <QUdpSocket>
#include <algorithm>

#include "channels/ClientAdmission.h"
#include "channels/ClientSocket.h"
#include "channels/ConnectionListener.h"
#include "channels/Discovery.h"
#include "channels/QtTCPIPServer.h"
#include "plugin/LogLines.h"
#include "plugin/TcpIpExport.h"
#include "plugin/Translation.h"
#include "protocol/ProtocolTexts.h"

namespace {

// The worker's poll interval: each round waits this long for new connections.
constexpr int kAcceptWaitMs = 1;

// Opens the listener on `address` and `port` and tells the host's log when
// that changes something the user must know: the first failure on a port
// (another program holds it, or it is not allowed, or the address is none of
// this computer's), and the success of a later try.  Called on the worker's
// thread; the host's log function may be called from any thread.
void listenAndReport(ConnectionListener& listener, const QHostAddress& address, quint16 port,
                     bool& failureReported) {
  if (listener.listenForClients(address, port)) {
    if (failureReported)
      loglines::write(QStringLiteral("<br><b>Info</b> - Listening on port: <b>%1</b><br>").arg(port));
    failureReported = false;
    return;
  }
  if (failureReported) return;
  failureReported = true;
  const QString where = address == QHostAddress(QHostAddress::Any)
                            ? QString()
                            : QStringLiteral(" of <b>%1</b>").arg(address.toString());
  loglines::write(QStringLiteral("<b>Error</b> - Cannot listen on port <b>%1</b>%2: %3. Clients cannot "
                                 "connect; the plug-in keeps trying every second.")
                      .arg(port)
                      .arg(where, listener.errorString()));
}

}  // namespace

void TcpIpExport::run() {
  ConnectionListener listener;
  QUdpSocket broadcastSocket;
  QElapsedTimer broadcastTimer;
  ClientAdmission admission;
  quint64 rulesRevision = 0;
  admission.setRules(takeAccessRules(rulesRevision));
  quint16 listeningPort = port.load();
  QHostAddress listeningAddress = admission.rules().listen;
  bool listenFailureReported = false;
  listenAndReport(listener, listeningAddress, listeningPort, listenFailureReported);
  broadcastTimer.start();
  // Channels not filed yet; the worker alone owns them.
  QVector<QtTCPIPServer*> unfiled;
  // Numbers the handshakes, so channels are filed in the order of theirs.
  std::atomic<quint64> handshakeCounter{0};
  quint64 nextToFile = 1;
  const ClientAdmission::OpenCount openFrom = [&](const QHostAddress& peer) {
    return openConnectionsFrom(peer, unfiled);
  };

  while (!stopWorker.load()) {
    // A later pre-run may have chosen another port or address.  Its rules
    // are published before its port, so with both taken here a change of
    // both listens once, on the new pair.
    if (accessRulesRevision.load(std::memory_order_acquire) != rulesRevision)
      admission.setRules(takeAccessRules(rulesRevision));
    if (port.load() != listeningPort || admission.rules().listen != listeningAddress) {
      listener.close();
      listeningPort = port.load();
      listeningAddress = admission.rules().listen;
      listenFailureReported = false;
      listenAndReport(listener, listeningAddress, listeningPort, listenFailureReported);
    }

    const QVector<qintptr> accepted = listener.takeAccepted(kAcceptWaitMs);
    if (!listener.isListening()) QThread::msleep(kAcceptWaitMs);
    // Looked for after the accept, so that a client who connects once a
    // pre-run has returned is judged by the rules that pre-run read.
    if (accessRulesRevision.load(std::memory_order_acquire) != rulesRevision)
      admission.setRules(takeAccessRules(rulesRevision));
    for (qintptr descriptor : accepted) {
      QHostAddress peer;
      if (!admission.admit(descriptor, openFrom, peer)) continue;
      auto* channel = new QtTCPIPServer(this, descriptor, peer, &handshakeCounter);
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
    sweepExecuteChannels();
    releaseRetiredChannels();

    if (broadcastTimer.elapsed() > discovery::kBroadcastIntervalMs) {
      // A port that was taken when the worker tried it may have come free.
      if (!listener.isListening())
        listenAndReport(listener, listeningAddress, listeningPort, listenFailureReported);
      // Only a service that listens is announced: clients would otherwise be
      // sent to whatever else holds the port.
      const QHostAddress& destination = admission.rules().broadcastTo;
      if (listener.isListening() && !destination.isNull())
        broadcastSocket.writeDatagram(discovery::datagram(listeningPort), destination,
                                      discovery::kBroadcastPort);
      broadcastTimer.restart();
    }
  }

  listener.close();
  for (QtTCPIPServer* channel : unfiled) releaseChannel(channel);
  workerEnded.store(true, std::memory_order_release);
}

AccessRules TcpIpExport::takeAccessRules(quint64& revision) {
  MutexLock lock(&accessRulesMutex);
  revision = accessRulesRevision.load(std::memory_order_acquire);
  return accessRules;
}

int TcpIpExport::openConnectionsFrom(const QHostAddress& peer, const QVector<QtTCPIPServer*>& unfiled) {
  int open = 0;
  for (QtTCPIPServer* channel : unfiled)
    if (channel->peerAddress() == peer) ++open;
  QVector<qintptr> executeDescriptors;
  {
    // The host's thread takes this lock when a send finds a client gone, so
    // only what the count needs is taken under it, without a system call
    // (under Wine each one is a request to the Wine server).
    MutexLock lock(&channelListsMutex);
    for (QtTCPIPServer* channel : requestChannels)
      if (channel->peerAddress() == peer && channel->isConnected()) ++open;
    for (QtTCPIPServer* channel : executeChannels)
      if (channel->peerAddress() == peer) executeDescriptors.append(channel->notificationSocket());
  }
  // An execute client that left is noticed by the delivery only at the next
  // step, which may be a run away: its descriptor is asked.  Only this thread
  // deletes execute channels, so the descriptors stay open out here.
  for (qintptr descriptor : executeDescriptors)
    if (clientsocket::isPeerPresent(descriptor)) ++open;
  return open;
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
    const bool isRequest = channel->roleName() == translation::plugin(texts::kRequestRole);
    if (!isRequest && !(channel->hasEnded() && channel->wait(0))) break;
    identified.append(channel);
    unfiled.erase(next);
    ++nextToFile;
  }
  if (identified.isEmpty()) return;
  MutexLock lock(&channelListsMutex);
  for (QtTCPIPServer* channel : identified) {
    if (channel->roleName() == translation::plugin(texts::kRequestRole)) {
      requestChannels.append(channel);
    } else if (channel->notificationSocket() < 0) {
      // Its connection was gone before the handshake was over: nothing to
      // notify, and no descriptor that may be handed to a socket call.
      retiredChannels.append(channel);
    } else {
      executeChannels.append(channel);
      notificationDelivery.add(channel, channel->notificationSocket());
    }
  }
}
