// Placeholder until the channel worker is written.
#include "channels/QtTCPIPServer.h"
#include "plugin/TcpIpExport.h"

void TcpIpExport::run() {}

void TcpIpExport::releaseChannel(QtTCPIPServer* channel) {
  while (channel->isRunning()) {
    channel->requestStop();
    QThread::msleep(1);
  }
  delete channel;
}

void TcpIpExport::pruneChannels(QVector<QtTCPIPServer*>&) {}

void TcpIpExport::notifyExecuteChannels(QString, int) {}
