// The per-volume history the request handlers read: raw volumes, ROI values and
// the time point, written on the host's thread under runRecordMutex.  Host
// calls are made outside the lock, so a request never waits for the host.
#include <cstring>
#include <limits>

#include "plugin/GuardedHostCall.h"
#include "plugin/HostFunctions.h"
#include "plugin/TcpIpExport.h"

namespace {

// QVector holds at most this many 16-bit values; a host reporting a run beyond
// it gets no raw record rather than a failed allocation inside Nimbrel.
constexpr qint64 kMaxRawEntries = (std::numeric_limits<int>::max() / 2) - 64;

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
