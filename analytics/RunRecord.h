// The run record: the part of the plug-in object that the run lifecycle
// writes on the host's thread and the request handlers read on their channel
// threads: storedTimePoint, runStartPending, roiMeans, roiDetrendedValues and
// rawVolumes (a RawVolumeRecord).  They are members of TcpIpExport, guarded by
// its runRecordMutex; TcpIpExport's writers (startRunRecord, recordVolume,
// recordRoiValues, declared there) and this reader are defined in
// RunRecord.cpp.
//
// Lock rules, for both sides: runRecordMutex is held only while a member is
// copied or changed, never while calling the host, waiting or taking another
// lock, and it is taken with no other lock of the plug-in's held.  The host's
// thread is the only writer, so it reads its own writes without the lock.
// So a handler copies the few values it needs (or the one volume it sends)
// and works unlocked, and a request never holds up the host's step for longer
// than that copy.
//
// RunRecordReader is the request handlers' view.  Each of its calls takes the
// mutex for the copy it makes and for nothing else.
//
// The executor makes one reader per request from the plug-in; it lives no
// longer than the request.
//
//   RunRecordReader record(plugin);
//   if (inRange(timePoint, record.snapshot().storedTimePoint)) ...
#pragma once

#include <QtGlobal>
#include <optional>

class TcpIpExport;

class RunRecordReader {
 public:
  explicit RunRecordReader(const TcpIpExport& plugin) : plugin(plugin) {}

  struct Snapshot {
    bool runStartPending;
    int storedTimePoint;
    qint64 rawSampleCount;
  };
  Snapshot snapshot() const;

  // The ROI mean / detrended value recorded at the last post-step, or nothing
  // when the record holds no entry for `roi`.
  std::optional<float> storedRoiMean(int roi) const;
  std::optional<float> storedDetrendedValue(int roi) const;

  enum class RawCopy {
    Copied,
    // Some of the samples lie outside the copy (a run longer than expected,
    // or dimensions changed since the run started).
    OutsideRecord,
    // Inside the copy, but memory ran out before they could be kept.
    NotKept,
  };
  // Writes `count` recorded samples from index `first` on into `out` as
  // big-endian 16-bit integers; nothing is written unless Copied.
  RawCopy copyRawSamples(qint64 first, qint64 count, char* out) const;

 private:
  const TcpIpExport& plugin;
};
