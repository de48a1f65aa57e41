// Puts a plug-in's run record into a chosen run phase, for tests of the
// request handlers that do not want to drive a whole run through the
// lifecycle.  Writes under runRecordMutex, like the lifecycle does.
#pragma once

#include <QVector>
#include <utility>

#include "plugin/TcpIpExport.h"

struct RunRecordTestWriter {
  struct Record {
    bool runStartPending = true;
    int storedTimePoint = 0;
    QVector<float> roiMeans;
    QVector<float> roiDetrendedValues;
    QVector<qint16> rawVolumes;
  };
  static void write(TcpIpExport& plugin, Record record) {
    MutexLock guard(&plugin.runRecordMutex);
    plugin.runStartPending = record.runStartPending;
    plugin.storedTimePoint = record.storedTimePoint;
    plugin.roiMeans = std::move(record.roiMeans);
    plugin.roiDetrendedValues = std::move(record.roiDetrendedValues);
    plugin.rawVolumes = RawVolumeRecord();
    plugin.rawVolumes.resize(record.rawVolumes.size());
    plugin.rawVolumes.store(0, record.rawVolumes.constData(), record.rawVolumes.size());
  }
  // Gives the plug-in an empty raw record that takes its memory from
  // `allocate` in pieces of `pieceSamples`.
  static void useRawAllocator(TcpIpExport& plugin, qint64 pieceSamples, RawVolumeRecord::Allocator allocate) {
    MutexLock guard(&plugin.runRecordMutex);
    plugin.rawVolumes = RawVolumeRecord(pieceSamples, allocate);
  }
};
using RunRecord = RunRecordTestWriter::Record;
