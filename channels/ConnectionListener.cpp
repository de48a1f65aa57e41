#include "channels/ConnectionListener.h"

#include <QTcpSocket>

#if defined(Q_OS_WIN)
#include <winsock2.h>
#elif defined(Q_OS_UNIX)
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
  // Listening again on a listening socket only changes its queue length: the
  // system's maximum instead of Qt's 50, so a burst of clients is queued, not
  // refused.
#if defined(Q_OS_WIN)
  ::listen(SOCKET(socketDescriptor()), SOMAXCONN);
#elif defined(Q_OS_UNIX)
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
