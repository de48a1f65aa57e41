// TcpIpExport: the plug-in object.
//
// Nimbrel creates it through createPlugin, drives it through NMBPluginInterface
// on the host's thread, and deletes it through the interface's destructor slot
// (slot 0; see NMBPluginInterface.h).  It is at the same time a QThread whose run() is the channel
// worker: it accepts clients on `port`, files each identified channel as a
// request or execute channel, and prunes request channels whose client left.
// Request channel threads call executeRequest to answer their clients.
//
// When the destructor returns no thread of the plug-in runs any more and every
// channel has been deleted.
//
// Its members are defined with the subsystem each serves: construction,
// destruction and the settings here (TcpIpExport.cpp), the run lifecycle in
// Lifecycle.cpp, the per-volume history in analytics/RunRecord.cpp, the channel worker
// in channels/ChannelWorker.cpp and channels/ChannelLists.cpp, the executor in
// protocol/Executor.cpp.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QThread>
#include <QVariant>
#include <QVector>
#include <atomic>

#include "analytics/RawPieceReserve.h"
#include "analytics/RawVolumeRecord.h"
#include "channels/AccessRules.h"
#include "channels/NotificationDelivery.h"
#include "plugin/Mutex.h"
#include "plugin/NMBPluginInterface.h"
#include "plugin/PluginExport.h"
#include "plugin/SettingsFile.h"

class QtTCPIPServer;
struct RequestEntry;

class TcpIpExport : public QThread, public NMBPluginInterface {
  Q_OBJECT

 public:
  NMB_PLUGIN_EXPORT explicit TcpIpExport(QObject* parent = nullptr);
  NMB_PLUGIN_EXPORT ~TcpIpExport() override;

#if NMB_HOST_LAYOUT_DESTRUCTOR_SLOT
  // Slot 0 of the interface: the host deletes the plug-in through it.
  void* deletingDestructor(unsigned int flags) override;
#endif

  // The run lifecycle, called by the host on its own thread.
  NMB_PLUGIN_EXPORT bool initPlugin() override;
  NMB_PLUGIN_EXPORT bool executePreRun(unsigned short) override;
  NMB_PLUGIN_EXPORT bool executePreStep() override;
  NMB_PLUGIN_EXPORT bool executePostStep() override;
  NMB_PLUGIN_EXPORT bool executePostRun() override;

  // Answers one decoded request (element 0 the name, then the integer
  // arguments) with the complete framed reply.  Called on request channel
  // threads, several at once; it keeps no state between calls.
  QByteArray executeRequest(QList<QVariant> request);
  // The same for a request the decoder has matched to `entry` of the request
  // table (null: no request has its name).
  QByteArray executeRequest(const RequestEntry* entry, const QList<QVariant>& request);

  // Sends the notification `name` with `value` to every connected execute
  // channel in handshake order; execute channels whose client left are taken
  // out (and released by the worker).  Called on the host's thread, which
  // writes to the first few clients itself and leaves the rest, and whatever
  // a client cannot take at once, to the delivery thread (see
  // NotificationDelivery): it never waits for a client, and the
  // notifications reach each client whole and in the order they were sent.
  void notifyExecuteChannels(QString name, int value);

 protected:
  // The channel worker.  Started by executePreRun, ended by the destructor.
  void run() override;

 private:
  // The lifecycle operations' bodies; the public operations run them so that
  // no exception reaches the host (plugin/QuietBoundary.h).
  bool doInitPlugin();
  bool doPreRun();
  bool doPreStep();
  bool doPostStep();
  bool doPostRun();

  // Releases and removes every request channel whose connection is gone; the
  // others keep their order.  (Execute channels are retired by the
  // notification delivery.)  Takes channelListsMutex for the pass and waits
  // for no channel under it.
  void pruneChannels() LOCKS_EXCLUDED(channelListsMutex);
  // Stops `channel`'s thread, waits for it to end and deletes the channel.
  // Only for a channel whose thread was started.
  static void releaseChannel(QtTCPIPServer* channel);
  // Moves an execute channel whose client left or was dropped from
  // executeChannels to retiredChannels.  Called by the notification delivery
  // on the thread that found out (host's, delivery or worker).
  void retireExecuteChannel(QtTCPIPServer* channel) LOCKS_EXCLUDED(channelListsMutex);
  // Looks for execute clients that left while nothing was sent to them, a
  // few connections at a time, and retires those it takes out of the
  // notification delivery.  Worker thread, in its loop.
  void sweepExecuteChannels() LOCKS_EXCLUDED(channelListsMutex);
  // Releases the retired channels.  Worker thread, and the destructor once
  // the worker has ended.
  void releaseRetiredChannels() LOCKS_EXCLUDED(channelListsMutex);
  // Moves the channels of `unfiled` that have identified their client into
  // requestChannels or executeChannels, strictly in handshake order:
  // `nextToFile` is the handshake number the next filed channel must have.
  // Worker thread.
  void fileIdentifiedChannels(QVector<QtTCPIPServer*>& unfiled, quint64& nextToFile)
      LOCKS_EXCLUDED(channelListsMutex);

  // Reads the settings file, logs what it says and hands its rules to the
  // worker; returns them.  Host's thread, at each pre-run that serves.
  AccessRules readAccessRules() LOCKS_EXCLUDED(accessRulesMutex);
  // The rules the last pre-run published; `revision` receives their number,
  // which changes with every pre-run.  Worker thread.
  AccessRules takeAccessRules(quint64& revision) LOCKS_EXCLUDED(accessRulesMutex);
  // How many connections from `peer` are still open: those of `unfiled`,
  // the request channels whose thread still serves, the execute channels
  // whose client has not closed.  Worker thread; makes its system calls
  // outside channelListsMutex.
  int openConnectionsFrom(const QHostAddress& peer, const QVector<QtTCPIPServer*>& unfiled)
      LOCKS_EXCLUDED(channelListsMutex);

  // The per-volume history, written on the host's thread; each holds
  // runRecordMutex only while it changes the record.
  // First pre-step of a run: storedTimePoint 0, rawVolumes sized to `entries`
  // (kept values stay, new ones are 0).  Allocates nothing of the volumes.
  void startRunRecord(qint64 entries) LOCKS_EXCLUDED(runRecordMutex);
  // Copies volume `volumeIndex` of the host's time-course table into
  // rawVolumes; a volume that does not fit the prepared record is skipped.
  // The first volume that memory cannot be found for is logged, once a run.
  void recordVolume(int volumeIndex, int voxelsPerVolume) LOCKS_EXCLUDED(runRecordMutex);
  // Post-step: roiMeans and roiDetrendedValues from the host's current values.
  void recordRoiValues() LOCKS_EXCLUDED(runRecordMutex);
  // rawVolumes' allocator: a piece from rawPieceReserve when one is ready.
  qint16* allocateRawPiece(size_t samples);

  // The host's thread is the run record's only writer, so it reads its own
  // writes without the lock: the request threads only ever read.  Host's
  // thread only.
  bool runStartPendingOnHostThread() const NO_THREAD_SAFETY_ANALYSIS { return runStartPending; }
  qint64 rawVolumesSizeOnHostThread() const NO_THREAD_SAFETY_ANALYSIS { return rawVolumes.size(); }
  qint64 rawVolumesKeptSizeOnHostThread() const NO_THREAD_SAFETY_ANALYSIS { return rawVolumes.keptSize(); }

  // Members in the order the plug-in's interface documents them.  The run
  // record (runStartPending, roiMeans, roiDetrendedValues, rawVolumes,
  // storedTimePoint) is written on the host's thread and read by the request
  // channel threads through RunRecordReader, under runRecordMutex.

  // Host's thread only.
  bool pluginCanceled = false;
  bool runStartPending GUARDED_BY(runRecordMutex) = true;
  // Set by the destructor, polled by the worker.
  std::atomic<bool> stopWorker{false};
  // Set as the worker's last step.  The destructor reads it once the thread
  // has ended, so that everything the worker did is ordered before the
  // destruction also where ThreadSanitizer sees it (Qt's lock inside
  // isRunning gives the same order, invisibly to it).
  std::atomic<bool> workerEnded{false};
  QVector<float> roiMeans GUARDED_BY(runRecordMutex);
  QVector<float> roiDetrendedValues GUARDED_BY(runRecordMutex);
  // Host's thread only.  Monotonic, so a run across midnight reports its true
  // length; invalid until the first pre-step of a run.
  QElapsedTimer runTimer;
  // Pieces for rawVolumes, made ahead from the first pre-run on; declared
  // before it, which takes from it.
  RawPieceReserve rawPieceReserve{size_t(RawVolumeRecord::kDefaultPieceSamples), 3};
  RawVolumeRecord rawVolumes GUARDED_BY(runRecordMutex){
      RawVolumeRecord::kDefaultPieceSamples, [this](size_t samples) { return allocateRawPiece(samples); }};
  // Host's thread only: this run's record has logged that it ran out of memory.
  bool rawVolumesLossLogged = false;
  int storedTimePoint GUARDED_BY(runRecordMutex) = 0;
  // Written by executePreRun, read by the worker whenever it listens anew.
  std::atomic<quint16> port{0};
  // The owned channels.  The worker appends; the worker and the post-run
  // (request channels) and the notification delivery (execute channels)
  // remove.  A channel leaves its list under the lock and is waited for only
  // after the lock is given back.
  QVector<QtTCPIPServer*> requestChannels GUARDED_BY(channelListsMutex);
  QVector<QtTCPIPServer*> executeChannels GUARDED_BY(channelListsMutex);
  // Execute channels whose client left, taken out of executeChannels by the
  // notification delivery and released by the worker (never on the host's
  // thread while the worker runs).
  QVector<QtTCPIPServer*> retiredChannels GUARDED_BY(channelListsMutex);
  // The worker's sweep of execute channels: worker thread only.
  QElapsedTimer sweepTimer;
  int sweepCursor = 0;
  QVector<QtTCPIPServer*> sweepBatch;

  mutable Mutex runRecordMutex;
  Mutex channelListsMutex;

  // The folder of NMBNetworkPlugin.ini; empty: the plug-in library's own.
  // Host's thread (tests point it elsewhere through SettingsFolderProbe).
  QString settingsFolder;
  // Reads that file at each pre-run and keeps the rules it last could read.
  // Host's thread.
  SettingsFile settingsFile{interfaceAddresses};
  // Written by each pre-run that serves, taken up by the worker when the
  // revision has changed.
  Mutex accessRulesMutex;
  AccessRules accessRules GUARDED_BY(accessRulesMutex);
  std::atomic<quint64> accessRulesRevision{0};

  // Writes the notifications to the execute channels: on the host's thread
  // within a small budget, the rest on a thread of its own.  Declared after
  // the lists and their mutex, which its last drain may still use.
  NotificationDelivery notificationDelivery{
      [this](QtTCPIPServer* channel) { retireExecuteChannel(channel); }};

  // The request handlers read the run record through this, under runRecordMutex.
  friend class RunRecordReader;
  // Tests put the record into a run phase through this, under runRecordMutex.
  friend struct RunRecordTestWriter;
  // Tests look into the channel lists through this, under channelListsMutex.
  friend struct ChannelListsProbe;
  friend struct SettingsFolderProbe;
};
