// The run record: raw volumes, ROI values and the time point, written here on
// the host's thread and read by the request handlers (RunRecordReader), both
// under runRecordMutex.  Host calls are made outside the lock, so a request
// never waits for the host.
#include "analytics/RunRecord.h"

#include "plugin/HostFunctions.h"
#include "plugin/LogLines.h"
#include "plugin/TcpIpExport.h"

namespace {

std::optional<float> entryAt(const QVector<float>& values, int index) {
  if (index < 0 || index >= values.size()) return std::nullopt;
  return values.at(index);
}

}  // namespace

void TcpIpExport::startRunRecord(qint64 entries) {
  rawVolumesLossLogged = false;
  MutexLock lock(&runRecordMutex);
  storedTimePoint = 0;
  // Only the table of pieces: each volume's memory is taken by its own copy.
  rawVolumes.resize(entries);
}

void TcpIpExport::recordVolume(int volumeIndex, int voxelsPerVolume) {
  if (volumeIndex < 0 || voxelsPerVolume <= 0) return;
  const qint64 first = qint64(volumeIndex) * voxelsPerVolume;
  if (first + voxelsPerVolume > rawVolumesSizeOnHostThread()) return;
  if (first + voxelsPerVolume <= rawVolumesKeptSizeOnHostThread()) {
    short** table = callHost<short**>(hostFunctions.tGetTimeCourseData, nullptr);
    if (table == nullptr || table[volumeIndex] == nullptr) return;
    MutexLock lock(&runRecordMutex);
    if (rawVolumes.store(first, table[volumeIndex], voxelsPerVolume)) return;
  }
  if (rawVolumesLossLogged) return;
  rawVolumesLossLogged = true;
  loglines::write(QStringLiteral("<b>Warning</b> - Out of memory: raw volumes from time point %1 on are "
                                 "not kept.")
                      .arg(volumeIndex));
}

qint16* TcpIpExport::allocateRawPiece(size_t samples) {
  qint16* piece = samples == rawPieceReserve.pieceSamples() ? rawPieceReserve.take() : nullptr;
  return piece != nullptr ? piece : RawVolumeRecord::allocateZeroed(samples);
}

void TcpIpExport::recordRoiValues() {
  // The new values are built aside, from shared copies of the current ones
  // (taken under the lock, cheap), and swapped in.
  QVector<float> means, detrended;
  {
    MutexLock lock(&runRecordMutex);
    means = roiMeans;
    detrended = roiDetrendedValues;
  }
  means.resize(qMax(0, callHost(hostFunctions.tGetNrOfROIs, 0)));
  detrended.resize(qMax(0, callHost(hostFunctions.tGetNrOfROIs, 0)));
  for (int i = 0; i < means.size(); ++i) {
    means[i] = callHost(hostFunctions.tGetMeanOfROI, 0.0f, i);
    // The count is asked once per vector; a host whose count changed in
    // between must not make us write past the shorter one.
    if (i < detrended.size()) detrended[i] = callHost(hostFunctions.tGetDetrendedValueOfROI, 0.0f, i);
  }
  MutexLock lock(&runRecordMutex);
  roiMeans.swap(means);
  roiDetrendedValues.swap(detrended);
}

RunRecordReader::Snapshot RunRecordReader::snapshot() const {
  MutexLock guard(&plugin.runRecordMutex);
  return Snapshot{plugin.runStartPending, plugin.storedTimePoint, plugin.rawVolumes.size()};
}

std::optional<float> RunRecordReader::storedRoiMean(int roi) const {
  MutexLock guard(&plugin.runRecordMutex);
  return entryAt(plugin.roiMeans, roi);
}

std::optional<float> RunRecordReader::storedDetrendedValue(int roi) const {
  MutexLock guard(&plugin.runRecordMutex);
  return entryAt(plugin.roiDetrendedValues, roi);
}

RunRecordReader::RawCopy RunRecordReader::copyRawSamples(qint64 first, qint64 count, char* out) const {
  MutexLock guard(&plugin.runRecordMutex);
  const RawVolumeRecord& raw = plugin.rawVolumes;
  if (first < 0 || count < 0 || first > raw.size() - count) return RawCopy::OutsideRecord;
  return raw.copyBigEndian(first, count, out) ? RawCopy::Copied : RawCopy::NotKept;
}
