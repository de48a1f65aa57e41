// MessageTransfer: one framed message into a blocking QTcpSocket, or out of a
// connection's descriptor.
//
// The socket-level half of QtTCPIPServer's receiveMessage and sendMessage, kept
// apart so that the framing rules can be exercised on any connected socket.
// Both functions run on the thread that uses the connection; no event loop is
// needed.  Every wait has its own time-out and ends soon after a stop.
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
// How long the teardown waits for the notifications already sent to be
// taken by their clients.
inline constexpr int kWriteTimeoutMs = 1000;
// Every wait, for incoming bytes or for a slow reader, is cut into slices of
// this length, so that a stop request is seen soon even though the wait may
// last much longer.
inline constexpr int kStopPollSliceMs = 50;

// Reads one frame.  While fewer than the 8 length bytes are at hand it waits up
// to `readTimeoutMs` for each new piece, and gives up waiting when `stop` is
// set: the bytes at hand are then consumed and the body is empty.  Once the
// length is read it waits for the body, each piece within `readTimeoutMs`; a
// stop then fails the receive (a client that drips its body must not hold
// the teardown).  A negative length gives an empty body.  Bytes after the
// body stay in the socket for the next call.
ReceiveResult receiveFrame(QTcpSocket& socket, int readTimeoutMs, const std::atomic<bool>& stop,
                           QByteArray& body);

enum class SendResult {
  Sent,     // every byte went
  Gone,     // the connection is closed or broken
  Stopped,  // `stop` was set while the peer had not taken everything
  Stalled   // the peer took nothing for `noProgressLimitMs`
};

// Writes all of `block` to the connection `descriptor`, however long the
// peer takes, as long as it takes some bytes within every
// `noProgressLimitMs` and `stop` stays unset.  Anything but Sent leaves a
// cut frame on the connection: the caller must then close it.
SendResult sendWhole(qintptr descriptor, const QByteArray& block, const std::atomic<bool>& stop,
                     int noProgressLimitMs);

}  // namespace framing
