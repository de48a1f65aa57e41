// QtTCPIPServer::serveRequests: the request loop of a "Request Socket" channel.
#include <QTcpSocket>

#include "channels/QtTCPIPServer.h"
#include "plugin/TcpIpExport.h"
#include "protocol/RequestDecoder.h"

namespace {
// Buffered input of a message without a name is dropped in chunks of this size.
constexpr qint64 kDiscardChunkBytes = 100;
}  // namespace

void QtTCPIPServer::serveRequests() {
  while (!stopRequested) {
    QByteArray payload;
    if (!receiveMessage(payload)) break;
    QList<QVariant> request;
    const RequestEntry* entry = nullptr;
    if (!decodeRequest(payload, request, &entry)) {
      // A message without a name leaves the client and the service out of
      // step: everything buffered behind it is dropped, and nothing answered.
      while (!tcpSocket->atEnd()) tcpSocket->read(kDiscardChunkBytes);
      discardPendingInput();
      continue;
    }
    try {
      // A failed send shows as a failed receive on the next pass.
      sendMessage(owner->executeRequest(entry, request));
    } catch (...) {
      // Out of memory for the reply: the client is told by the end of its
      // connection rather than left waiting, and nothing ends the process.
      tcpSocket->abort();
      break;
    }
  }
}
