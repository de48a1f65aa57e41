#include "channels/Framing.h"

#include <QtEndian>

namespace framing {

namespace {

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

bool readText(QDataStream& in, QByteArray& text) {
  text.clear();
  quint32 count = 0;
  in >> count;
  if (in.status() != QDataStream::Ok || count == 0) return false;
  // The count is the peer's; never allocate more than the stream can hold.
  const qint64 available = in.device() != nullptr ? in.device()->bytesAvailable() : 0;
  if (qint64(count) > available) {
    in.skipRawData(int(available));
    return false;
  }
  QByteArray bytes(int(count), Qt::Uninitialized);
  if (in.readRawData(bytes.data(), int(count)) != int(count)) return false;
  const int nul = bytes.indexOf('\0');
  text = nul < 0 ? bytes : bytes.left(nul);
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
  // Length field, text count, the characters and their NUL, the value.
  const int size = kLengthFieldSize + 4 + name.size() + 1 + 4;
  if (size > capacity) return 0;
  char* text = out + kLengthFieldSize + 4;
  for (const QChar c : name) {
    if (c.unicode() == 0 || c.unicode() > 0x7F) return 0;
    *text++ = char(c.unicode());
  }
  *text++ = '\0';
  qToBigEndian<qint64>(size - kLengthFieldSize, out);
  qToBigEndian<quint32>(quint32(name.size() + 1), out + kLengthFieldSize);
  qToBigEndian<qint32>(qint32(value), text);
  return size;
}

}  // namespace framing
