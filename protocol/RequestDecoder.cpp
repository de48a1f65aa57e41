#include "protocol/RequestDecoder.h"

#include <QDataStream>
#include <QString>

#include "channels/Framing.h"
#include "protocol/RequestTable.h"

namespace {
constexpr int kCountSize = 4;
}  // namespace

bool decodeRequest(const QByteArray& payload, QList<QVariant>& request) {
  request.clear();
  QDataStream in(payload);
  framing::setUpStream(in);
  quint32 count = 0;
  in >> count;
  if (in.status() != QDataStream::Ok || count == 0 || count > quint32(payload.size() - kCountSize))
    return false;
  const char* bytes = payload.constData() + kCountSize;
  // The name ends at its NUL, or with its count for a client that sent none.
  const int length = int(qstrnlen(bytes, count));
  in.skipRawData(int(count));

  const RequestEntry* known = findRequest(bytes, length);
  if (known == nullptr) {
    request << QString::fromUtf8(bytes, length);
    return true;
  }
  request << QString::fromLatin1(known->name, known->nameLength);
  for (int i = 0; i < known->argumentCount; ++i) {
    qint32 argument = 0;
    in >> argument;
    // Past the end the stream stops reading; a missing argument is 0.
    if (in.status() != QDataStream::Ok) argument = 0;
    request << QVariant(int(argument));
  }
  return true;
}
