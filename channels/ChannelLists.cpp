// Releasing channels and delivering step notifications.  The channel lists are
// changed under channelListsMutex, one pass at a time; a channel that has to be
// released is first taken out of its list, and only then waited for, so no
// thread waits for a channel's thread while holding the lock.
#include <vector>

#include "channels/Framing.h"
#include "channels/QtTCPIPServer.h"
#include "plugin/TcpIpExport.h"

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
  // Every channel gets the same bytes: framed once, on the host's thread.
  notificationDelivery.post(framing::notificationBlock(name, value));
}

bool TcpIpExport::writeToExecuteChannels(const QByteArray& block) {
  // Only this thread removes execute channels (the worker only appends), so
  // the snapshot's channels stay alive while the lock is not held, and a slow
  // client does not hold up the filing of new ones.
  std::vector<QtTCPIPServer*> channels;
  {
    MutexLock lock(&channelListsMutex);
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
    MutexLock lock(&channelListsMutex);
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
    MutexLock lock(&channelListsMutex);
    retired.swap(retiredChannels);
  }
  for (QtTCPIPServer* channel : retired) releaseChannel(channel);
}
