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

}  // namespace framing
