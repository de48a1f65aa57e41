#include "tests/support/ServiceHarness.h"

#include <sys/socket.h>

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QThread>
#include <system_error>

#include "channels/QtTCPIPServer.h"
#include "tests/support/FakeHost.h"

std::unique_ptr<TcpIpExport> startServedPlugin(quint16& port, const QString& settingsFolder) {
  FakeHost::reset();
  port = freeTcpPort();
  FakeHost::state().integerInput = port;
  auto plugin = std::make_unique<TcpIpExport>();
  if (!settingsFolder.isEmpty()) SettingsFolderProbe::use(*plugin, settingsFolder);
  if (!plugin->initPlugin() || !plugin->executePreRun(0)) return nullptr;
  return plugin;
}

QByteArray connectAs(LoopbackClient& client, quint16 port, const char* role) {
  if (!client.connectWithRetry(port)) return QByteArray();
  if (!client.send(roleMessage(role))) return QByteArray();
  const int answerSize = 8 + 4 + int(qstrlen(role)) + 1 + 12;
  return client.receive(answerSize);
}

bool eventually(const std::function<bool()>& condition, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!condition()) {
    if (timer.elapsed() > timeoutMs) return false;
    QThread::msleep(1);
  }
  return true;
}

int ChannelListsProbe::requestChannelCount(TcpIpExport& plugin) {
  MutexLock lock(&plugin.channelListsMutex);
  return plugin.requestChannels.size();
}

int ChannelListsProbe::executeChannelCount(TcpIpExport& plugin) {
  MutexLock lock(&plugin.channelListsMutex);
  return plugin.executeChannels.size();
}

QVector<quint16> ChannelListsProbe::executeClientPorts(TcpIpExport& plugin) {
  MutexLock lock(&plugin.channelListsMutex);
  QVector<quint16> ports;
  for (QtTCPIPServer* channel : plugin.executeChannels) ports.append(channel->tcpSocket->peerPort());
  return ports;
}

void ChannelListsProbe::shrinkRequestSendBuffers(TcpIpExport& plugin, int bytes) {
  MutexLock lock(&plugin.channelListsMutex);
  for (QtTCPIPServer* channel : plugin.requestChannels)
    ::setsockopt(int(channel->socketDescriptor), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

DeliveryTestSeam& ChannelListsProbe::deliverySeam(TcpIpExport& plugin) {
  return plugin.notificationDelivery.testSeam;
}

void SettingsFolderProbe::use(TcpIpExport& plugin, const QString& folder) { plugin.settingsFolder = folder; }
void ChannelListsProbe::shrinkExecuteSendBuffers(TcpIpExport& plugin, int bytes) {
  MutexLock lock(&plugin.channelListsMutex);
  for (QtTCPIPServer* channel : plugin.executeChannels)
    ::setsockopt(int(channel->notificationSocket()), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

qint64 ChannelListsProbe::pendingNotificationBytes(TcpIpExport& plugin) {
  NotificationDelivery& delivery = plugin.notificationDelivery;
  MutexLock lock(&delivery.connectionsMutex);
  qint64 bytes = 0;
  for (const NotificationDelivery::Connection& connection : delivery.connections)
    bytes += connection.outbox.size();
  return bytes;
}

bool ChannelListsProbe::deliveryThreadWaits(TcpIpExport& plugin) {
  return !plugin.notificationDelivery.threadAwake.load();
}

bool ChannelListsProbe::framesHandedOver(TcpIpExport& plugin) {
  return plugin.notificationDelivery.handOver.isWaiting();
}

quint64 ChannelListsProbe::deliveryWakeUps(TcpIpExport& plugin) {
  return plugin.notificationDelivery.wakeUps.load();
}

void ChannelListsProbe::failDeliveryThreadStart(TcpIpExport& plugin) {
  plugin.notificationDelivery.spawn = [](std::function<void()>) -> std::thread {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
}
