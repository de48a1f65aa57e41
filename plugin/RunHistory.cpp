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
  std::lock_guard<std::mutex> lock(runRecordMutex);
  storedTimePoint = 0;
  // Reserved once, so the copies of the run never reallocate under a reader.
  rawVolumes.reserve(int(entries));
  rawVolumes.resize(int(entries));
}

void TcpIpExport::recordVolume(int volumeIndex, int voxelsPerVolume) {
  if (volumeIndex < 0 || voxelsPerVolume <= 0) return;
  // Only this thread resizes rawVolumes, so its size can be read unlocked.
  const qint64 first = qint64(volumeIndex) * voxelsPerVolume;
  if (first + voxelsPerVolume > rawVolumes.size()) return;
  short** table = callHost<short**>(hostFunctions.tGetTimeCourseData, nullptr);
  if (table == nullptr || table[volumeIndex] == nullptr) return;
  std::lock_guard<std::mutex> lock(runRecordMutex);
  std::memcpy(rawVolumes.data() + first, table[volumeIndex], size_t(voxelsPerVolume) * sizeof(qint16));
}

void TcpIpExport::recordRoiValues() {
  // Only this thread writes the ROI vectors, so they can be read unlocked;
  // the new values are built aside and swapped in.
  QVector<float> means = roiMeans;
  QVector<float> detrended = roiDetrendedValues;
  means.resize(qMax(0, callHost(hostFunctions.tGetNrOfROIs, 0)));
  detrended.resize(qMax(0, callHost(hostFunctions.tGetNrOfROIs, 0)));
  for (int i = 0; i < means.size(); ++i) {
    means[i] = callHost(hostFunctions.tGetMeanOfROI, 0.0f, i);
    // The count is asked once per vector; a host whose count changed in
    // between must not make us write past the shorter one.
    if (i < detrended.size()) detrended[i] = callHost(hostFunctions.tGetDetrendedValueOfROI, 0.0f, i);
  }
  std::lock_guard<std::mutex> lock(runRecordMutex);
  roiMeans.swap(means);
  roiDetrendedValues.swap(detrended);
}
