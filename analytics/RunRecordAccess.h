// RunRecordAccess: the reading side of the run record.
//
// The lifecycle writes storedTimePoint, runStartPending, roiMeans,
// roiDetrendedValues and rawVolumes on the host's thread under
// TcpIpExport::runRecordMutex; request handlers read them here, on their
// channel threads.  Every reader holds the lock only to copy out the few values
// it needs (or the one volume it sends) and never calls the host while
// holding it.
#pragma once

#include <QtGlobal>
#include <optional>

class TcpIpExport;

struct RunRecordAccess {
  struct Snapshot {
    bool runStartPending;
    int storedTimePoint;
    qint64 rawSampleCount;
  };
  static Snapshot snapshot(const TcpIpExport& plugin);

  // The ROI mean / detrended value recorded at the last post-step, or nothing
  // when the record holds no entry for `roi`.
  static std::optional<float> storedRoiMean(const TcpIpExport& plugin, int roi);
  static std::optional<float> storedDetrendedValue(const TcpIpExport& plugin, int roi);

  // Writes `count` recorded samples from index `first` on into `out` as
  // big-endian 16-bit integers.  False, with nothing written, when any of them
  // lies outside the copy.
  static bool copyRawSamples(const TcpIpExport& plugin, qint64 first, qint64 count, char* out);

  // Lets tests put the record into a run phase; defined by the tests only.
  struct TestWriter;
};
