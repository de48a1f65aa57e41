#include "protocol/RequestDecoder.h"

#include <QDataStream>
#include <QString>
#include <cstring>
#include <iterator>

#include "channels/Framing.h"
#include "protocol/ProtocolTexts.h"

namespace {

template <int N>
constexpr RequestTableEntry entry(const char (&name)[N], int argumentCount) {
  return RequestTableEntry{name, N - 1, argumentCount};
}

namespace r = texts::request;
constexpr RequestTableEntry kRequestTable[] = {
    entry(r::kGetValueOfDesignMatrix, 2),
    entry(r::kGetMeanOfROI, 1),
    entry(r::kGetDetrendedValueOfROI, 1),
    entry(r::kGetExistingMeansOfROI, 2),
    entry(r::kGetMeanOfROIAtTimePoint, 2),
    entry(r::kGetNrOfVoxelsOfROI, 1),
    entry(r::kGetBetaOfROI, 2),
    entry(r::kGetCoordsOfVoxelOfROI, 2),
    entry(r::kGetAllCoordsOfVoxelsOfROI, 1),
    entry(r::kGetValueOfVoxelAtTime, 4),
    entry(r::kGetValueOfAllVoxelsAtTime, 1),
    entry(r::kGetRawValueOfAllVoxelsAtTime, 1),
    entry(r::kGetBetaOfVoxel, 4),
    entry(r::kGetMapValueOfVoxel, 4),
    entry(r::kGetPearsonCorrelation, 1),
    entry(r::kGetPearsonCorrelationAtTimePoint, 2),
    entry(r::kGetPartialCorrelation, 1),
    entry(r::kGetPartialCorrelationAtTimePoint, 2),
    entry(r::kGetInstantProxyCorrelation, 1),
    entry(r::kGetInstantProxyCorrelationAtTimePoint, 2),
};
static_assert(std::size(kRequestTable) == 20);

constexpr int kCountSize = 4;

}  // namespace

const RequestTableEntry* findRequestTableEntry(const char* name, int length) {
  // The names pass through no translation: the plug-in installs none, and
  // without one tr() is the identity (received bytes decoded as UTF-8 equal an
  // ASCII table name exactly when the bytes are equal), so the bytes are
  // compared in place and nothing is allocated.
  for (const RequestTableEntry& candidate : kRequestTable)
    if (candidate.nameLength == length && std::memcmp(candidate.name, name, size_t(length)) == 0)
      return &candidate;
  return nullptr;
}

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

  const RequestTableEntry* known = findRequestTableEntry(bytes, length);
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
