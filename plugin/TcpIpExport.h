// TcpIpExport: the plug-in object.
//
// Nimbrel creates it through createPlugin, drives it through NMBPluginInterface
// on the host's thread, and deletes it through the interface's virtual
// destructor.  It is at the same time a QThread whose run() is the channel
// worker: it accepts clients on `port`, files each identified channel as a
// request or execute channel, and prunes request channels whose client left.
// Request channel threads call executeRequest to answer their clients.
//
// When the destructor returns no thread of the plug-in runs any more and every
// channel has been deleted.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QThread>
#include <QVariant>
#include <QVector>

#include <atomic>
#include <mutex>

#include "channels/NotificationDelivery.h"
#include "plugin/NMBPluginInterface.h"
#include "plugin/PluginExport.h"

class QtTCPIPServer;

class TcpIpExport : public QThread, public NMBPluginInterface {
  Q_OBJECT

 public:
  NMB_PLUGIN_EXPORT explicit TcpIpExport(QObject* parent = nullptr);
  NMB_PLUGIN_EXPORT ~TcpIpExport() override;

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

  // Sends the notification `name` with `value` to every connected execute
  // channel in handshake order; execute channels whose client left are taken
  // out and released.  Called on the host's thread, which only hands the
  // framed notification to the delivery thread: it returns at once, and the
  // notifications reach each client in the order they were sent.
  void notifyExecuteChannels(QString name, int value);

 protected:
  // The channel worker.  Started by executePreRun, ended by the destructor.
  void run() override;

 private:
  // Releases and removes every channel of `channels` whose connection is gone;
  // the others keep their order.  Takes channelListsMutex for each pass.
  void pruneChannels(QVector<QtTCPIPServer*>& channels);
  // Stops `channel`'s thread, waits for it to end and deletes the channel.
  static void releaseChannel(QtTCPIPServer* channel);
  // Delivery thread: writes `block` (empty: only what is pending) to every
  // execute channel, moves those whose client left to retiredChannels.
  // Returns whether some channel still has bytes to write.
  bool writeToExecuteChannels(const QByteArray& block);
  // Releases the channels the delivery thread retired.  Worker thread, and
  // the destructor once both other threads have ended.
  void releaseRetiredChannels();
  // Moves the channels of `unfiled` that have identified their client into
  // requestChannels or executeChannels, strictly in handshake order:
  // `nextToFile` is the handshake number the next filed channel must have.
  // Worker thread.
  void fileIdentifiedChannels(QVector<QtTCPIPServer*>& unfiled, quint64& nextToFile);

  // The per-volume history, written on the host's thread; each holds
  // runRecordMutex only while it changes the record.
  // First pre-step of a run: storedTimePoint 0, rawVolumes sized to `entries`
  // (kept values stay, new ones are 0).
  void startRunRecord(qint64 entries);
  // Copies volume `volumeIndex` of the host's time-course table into
  // rawVolumes; a volume that does not fit the prepared buffer is skipped.
  void recordVolume(int volumeIndex, int voxelsPerVolume);
  // Post-step: roiMeans and roiDetrendedValues from the host's current values.
  void recordRoiValues();

  // Host thread only.
  bool pluginCanceled = false;
  // The run record, shared between the host's thread (writer) and the request
  // channel threads (readers): guarded by runRecordMutex.
  bool runStartPending = true;
  std::atomic<bool> stopWorker{false};
  // Set as the worker's last step, so the destructor sees everything it did.
  std::atomic<bool> workerEnded{false};
  QVector<float> roiMeans;
  QVector<float> roiDetrendedValues;
  // Monotonic, so a run across midnight reports its true length; invalid until
  // the first pre-step of a run.
  QElapsedTimer runTimer;
  QVector<qint16> rawVolumes;
  int storedTimePoint = 0;
  // Written by executePreRun, read by the worker whenever it listens anew.
  std::atomic<quint16> port{0};
  // Owned channels, guarded by channelListsMutex.  A list is never changed
  // while a channel's thread is being waited for under the lock.
  QVector<QtTCPIPServer*> requestChannels;
  QVector<QtTCPIPServer*> executeChannels;
  // Execute channels whose client left, taken out of executeChannels by the
  // delivery thread and released by the worker (never on the host's thread).
  // Guarded by channelListsMutex.
  QVector<QtTCPIPServer*> retiredChannels;

  mutable std::mutex runRecordMutex;
  std::mutex channelListsMutex;

  // Writes the notifications to the execute channels on a thread of its own.
  NotificationDelivery notificationDelivery{[this](const QByteArray& block) { return writeToExecuteChannels(block); }};

  // The request handlers read the run record through this, under runRecordMutex.
  friend struct RunRecordAccess;
  // Tests look into the channel lists through this, under channelListsMutex.
  friend struct ChannelListsProbe;
};
