#include "channels/Framing.h"

#include <QtEndian>

namespace framing {

void setUpStream(QDataStream& stream) {
  stream.setVersion(kStreamVersion);
  stream.setFloatingPointPrecision(QDataStream::SinglePrecision);
}

void finishBlock(QByteArray& block) {
  const qint64 bodySize = block.size() - kLengthFieldSize;
  qToBigEndian<qint64>(bodySize, block.data());
}

}  // namespace framing
