#include "plugin/TcpIpExport.h"

#include "channels/QtTCPIPServer.h"

TcpIpExport::TcpIpExport(QObject* parent) : QThread(parent), NMBPluginInterface() {}

TcpIpExport::~TcpIpExport() {
  // Notifications already sent are delivered; then nothing writes to the
  // execute channels any more.
  notificationDelivery.stop();
  // The worker next: it releases the channels it has not filed yet itself.
  while (isRunning()) {
    stopWorker = true;
    QThread::msleep(1);
  }
  wait();
  (void)workerEnded.load(std::memory_order_acquire);
  // Request channels before execute channels, each deleted only after its
  // thread has ended.  The worker is gone, so nothing else changes the lists.
  releaseRetiredChannels();
  for (QVector<QtTCPIPServer*>* channels : {&requestChannels, &executeChannels}) {
    while (!channels->isEmpty()) {
      releaseChannel(channels->first());
      channels->removeFirst();
    }
  }
}
