// NativeSocket: the two non-blocking calls notification delivery makes on an
// execute connection's descriptor, outside Qt.
//
// Once an execute channel's thread has ended, its connection is written only
// by the notification thread, and never through the QTcpSocket (which belongs
// to the ended thread): a plain non-blocking send cannot wait, and costs one
// system call where Qt's write, flush and state checks cost several (under
// Wine each one is a round trip to the Wine server).
#pragma once

#include <QtGlobal>

namespace nativesocket {

enum class Status {
  Ok,          // sent (perhaps in part), or the peer is still there
  WouldBlock,  // the system buffers are full: try again later
  Gone,        // the connection is closed or broken
};

// Sends up to `size` bytes without waiting; `sent` receives how many went.
Status sendSome(qintptr descriptor, const char* data, qint64 size, qint64& sent);

// Whether the peer is still there, without waiting: drops whatever it sent
// (an execute client has nothing to say) and reports Gone when it closed.
Status checkPeer(qintptr descriptor);

}  // namespace nativesocket
