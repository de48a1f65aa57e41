#include "channels/ConnectionListener.h"

#include <QTcpSocket>

#if defined(Q_OS_UNIX)
#include <sys/socket.h>
#endif

ConnectionListener::~ConnectionListener() {
  for (qintptr descriptor : accepted) {
    QTcpSocket orphan;
    if (orphan.setSocketDescriptor(descriptor)) orphan.abort();
  }
}

bool ConnectionListener::listenForClients(const QHostAddress& address, quint16 port) {
  if (!listen(address, port)) return false;
#if defined(Q_OS_UNIX)
  // Listening again on a listening socket only changes its queue length.
  ::listen(int(socketDescriptor()), SOMAXCONN);
#endif
  return true;
}

QVector<qintptr> ConnectionListener::takeAccepted(int timeoutMs) {
  if (isListening()) waitForNewConnection(timeoutMs);
  QVector<qintptr> taken;
  taken.swap(accepted);
  return taken;
}

void ConnectionListener::incomingConnection(qintptr socketDescriptor) { accepted.append(socketDescriptor); }
