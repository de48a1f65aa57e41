// Releasing channels and delivering step notifications.  The channel lists are
// changed under channelListsMutex, one pass at a time; a channel that has to be
// released is first taken out of its list, and only then waited for, so no
// thread waits for a channel's thread while holding the lock.
#include <vector>

#include "channels/Framing.h"
#include "channels/QtTCPIPServer.h"
#include "plugin/TcpIpExport.h"

void TcpIpExport::releaseChannel(QtTCPIPServer* channel) {
  while (channel->isRunning()) {
    channel->requestStop();
    QThread::msleep(1);
  }
  // Pairs with the end of run(), so everything the thread did happens before
  // the delete.
  (void)channel->hasEnded();
  delete channel;
}

void TcpIpExport::pruneChannels(QVector<QtTCPIPServer*>& channels) {
  QVector<QtTCPIPServer*> gone;
  {
    std::lock_guard<std::mutex> lock(channelListsMutex);
    for (int i = 0; i < channels.size();) {
      if (channels[i]->isConnected()) {
        ++i;
      } else {
        gone.append(channels[i]);
        channels.removeAt(i);
      }
    }
  }
  for (QtTCPIPServer* channel : gone) releaseChannel(channel);
}

void TcpIpExport::notifyExecuteChannels(QString name, int value) {
  // Every channel gets the same bytes: framed once, on the host's thread.
  notificationDelivery.post(framing::notificationBlock(name, value));
}

bool TcpIpExport::writeToExecuteChannels(const QByteArray& block) {
  // Only this thread removes execute channels (the worker only appends), so
  // the snapshot's channels stay alive while the lock is not held, and a slow
  // client does not hold up the filing of new ones.
  std::vector<QtTCPIPServer*> channels;
  {
    std::lock_guard<std::mutex> lock(channelListsMutex);
    channels.assign(executeChannels.cbegin(), executeChannels.cend());
  }
  QVector<QtTCPIPServer*> gone;
  bool pending = false;
  for (QtTCPIPServer* channel : channels) {
    if (!channel->deliverNotification(block)) {
      gone.append(channel);
    } else if (channel->hasPendingNotification()) {
      pending = true;
    }
  }
  if (!gone.isEmpty()) {
    std::lock_guard<std::mutex> lock(channelListsMutex);
    for (QtTCPIPServer* channel : gone) {
      executeChannels.removeOne(channel);
      retiredChannels.append(channel);
    }
  }
  return pending;
}

void TcpIpExport::releaseRetiredChannels() {
  QVector<QtTCPIPServer*> retired;
  {
    std::lock_guard<std::mutex> lock(channelListsMutex);
    retired.swap(retiredChannels);
  }
  for (QtTCPIPServer* channel : retired) releaseChannel(channel);
}
