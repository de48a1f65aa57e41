// The run record: raw volumes, ROI values and the time point, written here on
// the host's thread and read by the request handlers (RunRecordReader), both
// under runRecordMutex.  Host calls are made outside the lock, so a request
// never waits for the host.
#include <QtEndian>
#include <cstring>
#include <limits>

#include "plugin/HostFunctions.h"
#include "plugin/RunRecord.h"
#include "plugin/TcpIpExport.h"

namespace {

// QVector holds at most this many 16-bit values; a host reporting a run beyond
// it gets no raw record rather than a failed allocation inside Nimbrel.
constexpr qint64 kMaxRawEntries = (std::numeric_limits<int>::max() / 2) - 64;

std::optional<float> entryAt(const QVector<float>& values, int index) {
  if (index < 0 || index >= values.size()) return std::nullopt;
  return values.at(index);
}

}  // namespace

void TcpIpExport::startRunRecord(qint64 entries) {
  if (entries < 0 || entries > kMaxRawEntries) entries = 0;
  MutexLock lock(&runRecordMutex);
  storedTimePoint = 0;
  // Reserved once, so the copies of the run never reallocate under a reader.
  rawVolumes.reserve(int(entries));
  rawVolumes.resize(int(entries));
}

void TcpIpExport::recordVolume(int volumeIndex, int voxelsPerVolume) {
  if (volumeIndex < 0 || voxelsPerVolume <= 0) return;
  const qint64 first = qint64(volumeIndex) * voxelsPerVolume;
  if (first + voxelsPerVolume > rawVolumesSizeOnHostThread()) return;
  short** table = callHost<short**>(hostFunctions.tGetTimeCourseData, nullptr);
  if (table == nullptr || table[volumeIndex] == nullptr) return;
  MutexLock lock(&runRecordMutex);
  std::memcpy(rawVolumes.data() + first, table[volumeIndex], size_t(voxelsPerVolume) * sizeof(qint16));
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
  return Snapshot{plugin.runStartPending, plugin.storedTimePoint, qint64(plugin.rawVolumes.size())};
}

std::optional<float> RunRecordReader::storedRoiMean(int roi) const {
  MutexLock guard(&plugin.runRecordMutex);
  return entryAt(plugin.roiMeans, roi);
}

std::optional<float> RunRecordReader::storedDetrendedValue(int roi) const {
  MutexLock guard(&plugin.runRecordMutex);
  return entryAt(plugin.roiDetrendedValues, roi);
}

bool RunRecordReader::copyRawSamples(qint64 first, qint64 count, char* out) const {
  MutexLock guard(&plugin.runRecordMutex);
  if (first < 0 || count < 0 || first > plugin.rawVolumes.size() - count) return false;
  const qint16* samples = plugin.rawVolumes.constData() + first;
  // Qt's array form swaps a vector register at a time.
  qToBigEndian<qint16>(samples, count, out);
  return true;
}
