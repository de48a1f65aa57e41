// ReplyWriter: builds one framed reply of the request protocol.
//
// Every handler answers through one writer: either it refuses with fail() (the
// error body "Wrong request!" plus the text), or, once all its checks have
// passed, it calls begin() with the number of value bytes that will follow the
// echoed name (from the sizes in channels/Framing.h) and then writes exactly
// that many.  The block is sized once by begin(),
// and runs of values are written straight into it in the byte order a
// QDataStream of the protocol writes them (big-endian; reals as IEEE singles).
// fail() may also be called after begin(): whatever was written is dropped, so
// a client never sees part of an answer.
//
// One writer per request, used on the request channel's thread only.
//
//   ReplyWriter reply(texts::request::kGetNrOfROIs);
//   reply.begin(framing::kIntBytes);
//   reply.writeInt(hostFunctions.tGetNrOfROIs());
//   QByteArray block = reply.finish();
#pragma once

#include <QByteArray>
#include <QtEndian>
#include <QtGlobal>
#include <cstring>

#include "channels/Framing.h"

class ReplyWriter {
 public:
  // `echoName` is the request name the success body starts with (a protocol
  // text, not copied); null for a request no handler matched.
  explicit ReplyWriter(const char* echoName);

  // The largest value run a reply may carry.  A run that would not fit is sent
  // as an empty run, the meaning a count of 0 or less has.
  static constexpr qint64 kMaxValueBytes = qint64(1) << 30;
  // `count` elements of `elementBytes` each, or 0 when that is negative or more
  // than a reply may carry.  Counts come from the host and may be anything.
  static qint64 runLength(qint64 count, int elementBytes);

  // Error body with `text` (passed through TcpIpExport::tr, sent as Latin-1).
  void fail(const char* text);
  // Error body naming a host function the host did not export.
  void failHostFunctionMissing(const char* functionName);
  // Error body naming a host function that returned a null array.
  void failHostArrayMissing(const char* functionName);
  // The one reply without a body: length 0.
  void makeEmpty();
  bool failed() const { return state == State::Failed; }

  // Starts the success body: writes the echoed name and makes room for
  // `valueBytes` more bytes.
  void begin(qint64 valueBytes);
  void writeInt(qint32 value);
  void writeReal(float value);
  // Narrowed to single precision, as the protocol's stream does.
  void writeReal(double value) { writeReal(static_cast<float>(value)); }
  void writeSample(qint16 value);
  // `length` characters of `text` as a protocol string: count with the NUL.
  void writeString(const char* text, int length);
  // Hands out `bytes` bytes of the body for the caller to fill in place.
  // More than begin() announced is a fault of the handler (see wrongSize), as
  // is a body that finish() finds shorter.
  char* claim(qint64 bytes);
  // Stores `value` at `out` as writeReal does (big-endian IEEE single), for
  // runs filled in place after claim().
  static void putReal(float value, char* out) {
    quint32 bits;
    std::memcpy(&bits, &value, sizeof bits);
    qToBigEndian<quint32>(bits, out);
  }

  // The finished block with its length field.  Without any call above, the
  // reply is the error "No function call matched!".
  QByteArray finish();

  // What a wrong size does: stops a debug build; otherwise throws
  // std::logic_error.
  [[noreturn]] static void wrongSize();

 private:
  enum class State { Unset, Body, Failed, Empty };
  void failWith(const QByteArray& text);

  const char* echoName;
  State state = State::Unset;
  QByteArray block;
  int position = 0;
};
