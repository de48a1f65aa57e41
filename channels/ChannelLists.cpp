// TcpIpExport's members that release channels and deliver step notifications
// (here rather than in plugin/: they belong to the channel worker).  The
// channel lists are changed under channelListsMutex, one pass at a time; a
// channel that has to be released is first taken out of its list, and only
// then waited for, so no thread waits for a channel's thread while holding
// the lock.
#include "channels/Framing.h"
#include "channels/NativeSocket.h"
#include "channels/QtTCPIPServer.h"
#include "plugin/TcpIpExport.h"

namespace {

// The worker looks at up to kSweepBatch execute connections every
// kSweepIntervalMs for clients that left between steps.
constexpr int kSweepIntervalMs = 100;
constexpr int kSweepBatch = 64;

}  // namespace

void TcpIpExport::releaseChannel(QtTCPIPServer* channel) {
  // Until the thread has ended and its end flag has been read, so everything
  // the thread did comes before the delete (see hasEnded).  Every channel
  // released here had its thread started.
  while (channel->isRunning() || !channel->hasEnded()) {
    channel->requestStop();
    QThread::msleep(1);
  }
  // A QThread reports that it is no longer running while its finishing step
  // still tears down its event dispatcher, which holds the socket's
  // notifiers; the channel, and with it the socket, goes only after that.
  channel->wait();
  delete channel;
}

void TcpIpExport::pruneChannels() {
  QVector<QtTCPIPServer*> gone;
  {
    MutexLock lock(&channelListsMutex);
    for (int i = 0; i < requestChannels.size();) {
      if (requestChannels[i]->isConnected()) {
        ++i;
      } else {
        gone.append(requestChannels[i]);
        requestChannels.removeAt(i);
      }
    }
  }
  for (QtTCPIPServer* channel : gone) releaseChannel(channel);
}

void TcpIpExport::notifyExecuteChannels(QString name, int value) {
  // Every channel gets the same bytes: framed once, on the host's thread, and
  // on its stack.
  char frame[64];
  const int size = framing::writeNotificationFrame(frame, int(sizeof frame), name, value);
  if (size > 0) {
    notificationDelivery.notify(frame, size);
    return;
  }
  const QByteArray block = framing::notificationBlock(name, value);
  notificationDelivery.notify(block.constData(), block.size());
}

void TcpIpExport::sweepExecuteChannels() {
  if (sweepTimer.isValid() && sweepTimer.elapsed() < kSweepIntervalMs) return;
  sweepTimer.start();
  sweepBatch.clear();
  {
    MutexLock lock(&channelListsMutex);
    if (sweepCursor >= executeChannels.size()) sweepCursor = 0;
    const int end = qMin(executeChannels.size(), sweepCursor + kSweepBatch);
    for (int i = sweepCursor; i < end; ++i) sweepBatch.append(executeChannels[i]);
    sweepCursor = end;
  }
  // Outside the lock: only this thread deletes execute channels, so their
  // descriptors stay open while they are looked at.  The host's or the
  // delivery thread may find the same client gone meanwhile; whoever takes
  // the connection out of the delivery retires the channel.
  for (QtTCPIPServer* channel : sweepBatch)
    if (nativesocket::checkPeer(channel->notificationSocket()) == nativesocket::Status::Gone &&
        notificationDelivery.remove(channel))
      retireExecuteChannel(channel);
}

void TcpIpExport::retireExecuteChannel(QtTCPIPServer* channel) {
  MutexLock lock(&channelListsMutex);
  const bool filed = executeChannels.removeOne(channel);
#if defined(NMB_INTERNAL_CHECKS)
  // A channel retired twice would be deleted twice: the host's process
  // would crash at the next release.
  if (!filed || retiredChannels.contains(channel)) qFatal("An execute channel was retired twice");
#endif
  if (filed) retiredChannels.append(channel);
}

void TcpIpExport::releaseRetiredChannels() {
  QVector<QtTCPIPServer*> retired;
  {
    MutexLock lock(&channelListsMutex);
    retired.swap(retiredChannels);
  }
  for (QtTCPIPServer* channel : retired) releaseChannel(channel);
}
