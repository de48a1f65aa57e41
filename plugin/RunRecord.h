// RunRecordReader: the request handlers' view of the run record.
//
// The run record is the part of the plug-in object that the run lifecycle
// writes on the host's thread and the request handlers read on their channel
// threads: storedTimePoint, runStartPending, roiMeans, roiDetrendedValues and
// rawVolumes (members of TcpIpExport, guarded by its run record mutex).
//
// Lock rules: every call below takes the run record mutex for the copy it
// makes and for nothing else: it never calls the host, never waits and never
// takes another lock while it holds it.  A caller may hold no lock of the
// plug-in's.  So a handler copies the few values it needs (or the one volume
// it sends) and works unlocked, and a request never holds up the host's step.
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

  // Writes `count` recorded samples from index `first` on into `out` as
  // big-endian 16-bit integers.  False, with nothing written, when any of them
  // lies outside the copy.
  bool copyRawSamples(qint64 first, qint64 count, char* out) const;

 private:
  const TcpIpExport& plugin;
};
