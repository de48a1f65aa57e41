#include "analytics/RunRecordAccess.h"

#include <QtEndian>

#include "plugin/TcpIpExport.h"

namespace {

std::optional<float> entryAt(const QVector<float>& values, int index) {
  if (index < 0 || index >= values.size()) return std::nullopt;
  return values.at(index);
}

}  // namespace

RunRecordAccess::Snapshot RunRecordAccess::snapshot(const TcpIpExport& plugin) {
  MutexLock guard(&plugin.runRecordMutex);
  return Snapshot{plugin.runStartPending, plugin.storedTimePoint, qint64(plugin.rawVolumes.size())};
}

std::optional<float> RunRecordAccess::storedRoiMean(const TcpIpExport& plugin, int roi) {
  MutexLock guard(&plugin.runRecordMutex);
  return entryAt(plugin.roiMeans, roi);
}

std::optional<float> RunRecordAccess::storedDetrendedValue(const TcpIpExport& plugin, int roi) {
  MutexLock guard(&plugin.runRecordMutex);
  return entryAt(plugin.roiDetrendedValues, roi);
}

bool RunRecordAccess::copyRawSamples(const TcpIpExport& plugin, qint64 first, qint64 count, char* out) {
  MutexLock guard(&plugin.runRecordMutex);
  if (first < 0 || count < 0 || first > plugin.rawVolumes.size() - count) return false;
  const qint16* samples = plugin.rawVolumes.constData() + first;
  // Qt's array form swaps a vector register at a time.
  qToBigEndian<qint16>(samples, count, out);
  return true;
}
