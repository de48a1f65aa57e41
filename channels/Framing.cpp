#include "channels/Framing.h"

#include <QtEndian>
#include <cstring>

namespace framing {

namespace {

// The longest notification name the in-place writer takes; the names are
// a few letters.
constexpr int kMaxNotificationNameLength = 64;

// Opens a block with the placeholder length that finishBlock overwrites.
void beginBlock(QDataStream& out) {
  setUpStream(out);
  out << qint64(0);
}

}  // namespace

void setUpStream(QDataStream& stream) {
  stream.setVersion(kStreamVersion);
  stream.setFloatingPointPrecision(QDataStream::SinglePrecision);
}

void finishBlock(QByteArray& block) {
  const qint64 bodySize = block.size() - kLengthFieldSize;
  qToBigEndian<qint64>(bodySize, block.data());
}

int writeCountedText(char* out, const char* text, int length) {
  qToBigEndian<quint32>(quint32(length + 1), out);
  std::memcpy(out + kCountBytes, text, size_t(length));
  out[kCountBytes + length] = '\0';
  return int(countedTextBytes(length));
}

bool readText(const QByteArray& body, int& at, TextView& text) {
  text = TextView();
  if (at < 0 || body.size() - at < kCountBytes) return false;
  const quint32 count = qFromBigEndian<quint32>(body.constData() + at);
  // The count is the peer's: compared with what is there, never allocated.
  if (count == 0 || count > quint32(body.size() - at - kCountBytes)) return false;
  text.chars = body.constData() + at + kCountBytes;
  // The text ends at its NUL, or with its count for a peer that sent none.
  text.length = int(qstrnlen(text.chars, count));
  at += kCountBytes + int(count);
  return true;
}

QByteArray handshakeAnswerBlock(const QString& role) {
  QByteArray block;
  QDataStream out(&block, QIODevice::WriteOnly);
  beginBlock(out);
  // The three integers are fixed by the protocol; clients only check them.
  out << role.toLatin1().constData() << qint32(2) << qint32(0) << qint32(0);
  finishBlock(block);
  return block;
}

QByteArray notificationBlock(const QString& name, int value) {
  QByteArray block;
  QDataStream out(&block, QIODevice::WriteOnly);
  beginBlock(out);
  out << name.toLocal8Bit().constData() << qint32(value);
  finishBlock(block);
  return block;
}

int writeNotificationFrame(char* out, int capacity, const QString& name, int value) {
  // Length field, the name as a counted text, the value.
  const qint64 size = kLengthFieldSize + countedTextBytes(name.size()) + kIntBytes;
  if (size > capacity) return 0;
  char ascii[kMaxNotificationNameLength];
  if (name.size() > kMaxNotificationNameLength) return 0;
  for (int i = 0; i < name.size(); ++i) {
    const ushort c = name.at(i).unicode();
    if (c == 0 || c > 0x7F) return 0;
    ascii[i] = char(c);
  }
  char* at = out + kLengthFieldSize;
  at += writeCountedText(at, ascii, name.size());
  qToBigEndian<qint32>(qint32(value), at);
  qToBigEndian<qint64>(size - kLengthFieldSize, out);
  return int(size);
}

}  // namespace framing
