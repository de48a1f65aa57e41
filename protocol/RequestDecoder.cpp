#include "protocol/RequestDecoder.h"

#include <QString>
#include <QtEndian>

#include "channels/Framing.h"
#include "protocol/RequestTable.h"

bool decodeRequest(const QByteArray& payload, QList<QVariant>& request, const RequestEntry** entry) {
  request.clear();
  if (entry != nullptr) *entry = nullptr;
  int at = 0;
  framing::TextView name;
  if (!framing::readText(payload, at, name)) return false;

  const RequestEntry* known = findRequest(name.chars, name.length);
  if (entry != nullptr) *entry = known;
  if (known == nullptr) {
    request << QString::fromUtf8(name.chars, name.length);
    return true;
  }
  request << QString::fromLatin1(known->name, known->nameLength);
  for (int i = 0; i < known->argumentCount; ++i, at += framing::kIntBytes) {
    // A missing argument, or one the message ends inside, is 0.
    const bool whole = payload.size() - at >= framing::kIntBytes;
    request << QVariant(whole ? int(qFromBigEndian<qint32>(payload.constData() + at)) : 0);
  }
  return true;
}
