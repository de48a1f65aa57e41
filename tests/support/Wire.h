// Wire: the plug-in's protocol as a client speaks it, for every test that
// builds requests or reads replies.  Written with QDataStream's own encoding
// (version 12, single precision) and by hand, never with the plug-in's
// framing code, so a fault there cannot hide itself.
//
//   client.send(wire::requestFrame("tGetMeanOfROI", {2}));
//   EXPECT_EQ(client.receiveFrame(), wire::framed([](QDataStream& out) {
//     out << "tGetMeanOfROI" << qint32(2) << 4.5f;
//   }));
#pragma once

#include <QByteArray>
#include <QDataStream>
#include <QList>
#include <QVariant>
#include <QtEndian>
#include <functional>

namespace wire {

// The frame of `body`: its length as a big-endian 64-bit integer, then it.
inline QByteArray frame(const QByteArray& body) {
  QByteArray bytes(8, '\0');
  qToBigEndian<qint64>(body.size(), bytes.data());
  return bytes + body;
}

// A stream with the protocol's settings.
inline void setUp(QDataStream& stream) {
  stream.setVersion(QDataStream::Qt_4_6);  // stream version 12
  stream.setFloatingPointPrecision(QDataStream::SinglePrecision);
}

// A body written by `fill` onto a stream with the protocol's settings, framed:
// how tests spell out the reply they expect.
inline QByteArray framed(const std::function<void(QDataStream&)>& fill) {
  QByteArray body;
  QDataStream out(&body, QIODevice::WriteOnly);
  setUp(out);
  fill(out);
  return frame(body);
}

// A request body: the name as a counted, NUL-terminated text, then the
// arguments as 32-bit integers.
inline QByteArray requestPayload(const char* name, QList<qint32> arguments = {}) {
  QByteArray body;
  QDataStream out(&body, QIODevice::WriteOnly);
  setUp(out);
  out << name;
  for (qint32 argument : arguments) out << argument;
  return body;
}

inline QByteArray requestFrame(const char* name, QList<qint32> arguments = {}) {
  return frame(requestPayload(name, arguments));
}

// A decoded request as the executor takes it: the name, then the arguments.
inline QList<QVariant> request(const char* name, QList<int> arguments = {}) {
  QList<QVariant> list{QString::fromLatin1(name)};
  for (int argument : arguments) list << argument;
  return list;
}

// The frame a client sends to announce its role: length, count, text, NUL.
inline QByteArray roleMessage(const char* role) { return frame(requestPayload(role)); }

// A step notification as the client receives it, built by hand from the
// frame layout: length, count, name, NUL, value.
inline QByteArray notification(const char* name, qint32 value) {
  const quint32 count = quint32(qstrlen(name) + 1);
  QByteArray block(8 + 4, '\0');
  qToBigEndian<qint64>(qint64(4 + count + 4), block.data());
  qToBigEndian<quint32>(count, block.data() + 8);
  block.append(name, int(count));
  char number[4];
  qToBigEndian<qint32>(value, number);
  block.append(number, 4);
  return block;
}

inline QByteArray errorReply(const char* text) {
  return framed([text](QDataStream& out) { out << "Wrong request!" << text; });
}

// Bytes from a hex text such as "00 00 00 13"; spaces are ignored.
inline QByteArray hexBytes(const char* hex) { return QByteArray::fromHex(QByteArray(hex).replace(' ', "")); }

// Reads a reply back: the length, then texts, integers, reals and samples in
// turn.
class ReplyReader {
 public:
  explicit ReplyReader(const QByteArray& reply) : bytes(reply), in(bytes) {
    setUp(in);
    in >> length;
  }
  qint64 length = -1;
  QByteArray text() {
    char* raw = nullptr;
    in >> raw;
    QByteArray result(raw);
    delete[] raw;
    return result;
  }
  qint32 integer() {
    qint32 value = 0;
    in >> value;
    return value;
  }
  float real() {
    float value = 0;
    in >> value;
    return value;
  }
  qint16 sample() {
    qint16 value = 0;
    in >> value;
    return value;
  }
  bool atEnd() const { return in.atEnd() && in.status() == QDataStream::Ok; }
  bool ok() const { return in.status() == QDataStream::Ok; }

 private:
  QByteArray bytes;
  QDataStream in;
};

// Whether `reply` is one whole frame answering the request `name`: its length
// field equal to what follows, and either the echoed name followed by exactly
// `bytesAfterName` bytes (any number when negative), or an error reply with a
// text.
inline bool isWellFormedReply(const QByteArray& reply, const char* name, int bytesAfterName = -1,
                              bool errorAllowed = true) {
  if (reply.size() < 8 || qFromBigEndian<qint64>(reply.constData()) != reply.size() - 8) return false;
  // Each text byte for byte: its count (with the NUL), its characters, the NUL.
  const QByteArray error = requestPayload("Wrong request!");
  if (reply.mid(8, error.size()) == error) {
    ReplyReader in(reply);
    in.text();
    return errorAllowed && !in.text().isEmpty() && in.atEnd();
  }
  const QByteArray echo = requestPayload(name);
  return reply.mid(8, echo.size()) == echo &&
         (bytesAfterName < 0 || reply.size() == 8 + echo.size() + bytesAfterName);
}

// The same, for a reply that must be a success.
inline bool isSuccessReply(const QByteArray& reply, const char* name, int bytesAfterName) {
  return isWellFormedReply(reply, name, bytesAfterName, false);
}

}  // namespace wire
