// The framing of every TCP message, in both directions: a signed 64-bit
// big-endian body length, then the body, a QDataStream of version 12 with
// single floating-point precision (every real travels as a 4-byte IEEE single).
//
// The block builders here produce complete frames ready for
// QtTCPIPServer::sendMessage; they are pure functions, usable from any thread.
//
//   QByteArray block = framing::notificationBlock("PreStepCalled", 7);  // 30 bytes
#pragma once

#include <QByteArray>
#include <QDataStream>
#include <QString>

namespace framing {

// Bytes of the length field in front of every body.
inline constexpr int kLengthFieldSize = 8;
// Bytes of the values a body carries: the count in front of a text (which
// includes the text's NUL), an int, a real (IEEE single) and a 16-bit sample.
inline constexpr int kCountBytes = 4;
inline constexpr int kIntBytes = 4;
inline constexpr int kRealBytes = 4;
inline constexpr int kSampleBytes = 2;
// Bytes of a counted text of `length` characters: its count, the characters
// and their NUL, as QDataStream writes a const char*.
constexpr qint64 countedTextBytes(qint64 length) { return kCountBytes + length + 1; }
inline constexpr QDataStream::Version kStreamVersion = QDataStream::Qt_4_6;  // version 12

// The largest body a client may announce.  The longest request is a name and
// four integers, well under a hundred bytes; a client announcing more than this
// is not speaking the protocol and would otherwise make Nimbrel's process buffer
// whatever it sends.  Its connection is closed.
inline constexpr qint64 kMaxFrameBodyBytes = qint64(1) << 20;

// Gives `stream` the settings every stream of the protocol uses.  Called on
// every stream, reading or writing, before its first element.
void setUpStream(QDataStream& stream);

// Completes a block that was written with a placeholder length of 0 in front:
// writes the block's size minus the length field into its first 8 bytes.
void finishBlock(QByteArray& block);

// Writes `length` characters of `text` at `out` as a counted text;
// `out` has room for countedTextBytes(length).  Returns the bytes written.
int writeCountedText(char* out, const char* text, int length);

// A text read in place: `length` characters at `chars`, inside the body read.
struct TextView {
  const char* chars = nullptr;
  int length = 0;
};
// Reads the counted text at offset `at` of `body` and moves `at` past it.
// Returns false, leaving `at`, for a null text: no whole count, a count of 0,
// or fewer bytes left than the count needs.  Otherwise `text` holds the bytes
// up to the first NUL, or all of them if there is none.
bool readText(const QByteArray& body, int& at, TextView& text);

// The answer to a role handshake: `role` in Latin-1, then 2, 0, 0.
QByteArray handshakeAnswerBlock(const QString& role);

// A step notification: `name` in the local 8-bit encoding, then `value`.
QByteArray notificationBlock(const QString& name, int value);

// The same frame written into `out`, which has room for `capacity` bytes,
// without allocating: for the host's thread, once per step.  Returns the
// frame's size, or 0 when the name is not plain ASCII (whose local 8-bit form
// is itself) or the frame does not fit; notificationBlock then builds it.
int writeNotificationFrame(char* out, int capacity, const QString& name, int value);

}  // namespace framing
