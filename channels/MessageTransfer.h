// MessageTransfer: one framed message in or out of a blocking QTcpSocket.
//
// The socket-level half of QtTCPIPServer's receiveMessage and sendMessage, kept
// apart so that the framing rules can be exercised on any connected socket.
// Both functions run on the thread that uses the socket; no event loop is
// needed, every wait is a waitFor... call with its own time-out.
#pragma once

#include <QByteArray>
#include <atomic>

class QTcpSocket;

namespace framing {

enum class ReceiveResult {
  Received,  // `body` holds one whole body (empty for a length of 0 or less)
  Failed,    // a wait for bytes timed out or the connection closed
  Oversized  // the length field announced more than kMaxFrameBodyBytes
};

// How long each wait for incoming bytes may take: the role message and every
// piece of a request has to arrive within this of the previous piece.
inline constexpr int kReadTimeoutMs = 2000;
// How long a send waits for its bytes to be written.
inline constexpr int kWriteTimeoutMs = 1000;
// While waiting for the start of a message the wait is cut into slices of this
// length, so that a stop request is seen soon even though each wait may last
// kReadTimeoutMs.
inline constexpr int kStopPollSliceMs = 50;

// Reads one frame.  While fewer than the 8 length bytes are at hand it waits up
// to `readTimeoutMs` for each new piece, and gives up waiting when `stop` is
// set: the bytes at hand are then consumed and the body is empty.  Once the
// length is read it waits for the body without looking at `stop`, each piece
// within `readTimeoutMs`.  A negative length gives an empty body.  Bytes after
// the body stay in the socket for the next call.
ReceiveResult receiveFrame(QTcpSocket& socket, int readTimeoutMs, const std::atomic<bool>& stop,
                           QByteArray& body);

// Writes one complete block and waits up to kWriteTimeoutMs for it to leave.
// Returns whether it was written.
bool sendBlock(QTcpSocket& socket, const QByteArray& block);

}  // namespace framing
