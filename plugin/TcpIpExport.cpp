#include "plugin/TcpIpExport.h"

#include "channels/QtTCPIPServer.h"

TcpIpExport::TcpIpExport(QObject* parent) : QThread(parent), NMBPluginInterface() {}

TcpIpExport::~TcpIpExport() {
  // The worker first: it releases the channels it has not filed yet itself.
  while (isRunning()) {
    stopWorker = true;
    QThread::msleep(1);
  }
  // Returns at once; it makes everything the worker did visible here.
  wait();
  // Request channels before execute channels, each deleted only after its
  // thread has ended.  The worker is gone, so nothing else changes the lists;
  // they are taken out whole so that no channel is waited for under the lock.
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
