#include "plugin/TcpIpExport.h"

#include <QDir>

#include "channels/MessageTransfer.h"
#include "channels/QtTCPIPServer.h"
#include "plugin/LogLines.h"
#include "plugin/SettingsFile.h"
#include "plugin/platform/HostModule.h"

TcpIpExport::TcpIpExport(QObject* parent) : QThread(parent), NMBPluginInterface() {}

#if NMB_HOST_LAYOUT_DESTRUCTOR_SLOT
void* TcpIpExport::deletingDestructor(unsigned int flags) {
  NMBPluginInterface* const self = this;
  if (flags & 1u) {
    delete this;
  } else {
    this->~TcpIpExport();
  }
  return self;
}
#endif

TcpIpExport::~TcpIpExport() {
  // Notifications already sent are delivered to every client that takes
  // them within the send time-out, before any channel is deleted; then
  // nothing writes to the execute channels any more.
  notificationDelivery.drainAndStop(framing::kWriteTimeoutMs);
  // The worker next: it releases the channels it has not filed yet itself.
  // A worker that was started is waited for until it has ended and its end
  // flag has been read (see workerEnded); one never started has nothing to
  // wait for.
  while (isRunning() || (isFinished() && !workerEnded.load(std::memory_order_acquire))) {
    stopWorker = true;
    QThread::msleep(1);
  }
  // And until its finishing step, which tears down its event dispatcher, is over.
  wait();
  // Request channels before execute channels, each deleted only after its
  // thread has ended.  The worker is gone, so nothing else changes the lists;
  // they are taken out whole so that no channel is waited for under the lock.
  releaseRetiredChannels();
  QVector<QtTCPIPServer*> requests, executes;
  {
    MutexLock lock(&channelListsMutex);
    requests.swap(requestChannels);
    executes.swap(executeChannels);
  }
  for (QVector<QtTCPIPServer*>* channels : {&requests, &executes}) {
    while (!channels->isEmpty()) {
      releaseChannel(channels->first());
      channels->removeFirst();
    }
  }
}

// The settings file at pre-run: read on the host's thread, reported in the
// host's log, handed to the channel worker.
AccessRules TcpIpExport::readAccessRules() {
  const QString folder =
      settingsFolder.isEmpty() ? QString::fromUtf8(platform::ownModuleFolder().c_str()) : settingsFolder;
  // A plug-in that cannot tell where it was loaded from has no file beside it.
  const SettingsReading reading =
      folder.isEmpty() ? SettingsReading{}
                       : settingsFile.read(QDir(folder).filePath(QLatin1String(kSettingsFileName)));
  for (const QString& line : reading.logLines) loglines::write(line);
  {
    MutexLock lock(&accessRulesMutex);
    accessRules = reading.rules;
    // Every pre-run starts a new run of refusal reports, also with the same rules.
    accessRulesRevision.fetch_add(1, std::memory_order_release);
  }
  return reading.rules;
}
