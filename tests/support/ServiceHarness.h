// ServiceHarness: a plug-in serving on a free port against the fake host, and
// a look into its channel lists.
#pragma once

#include <QVector>
#include <functional>
#include <memory>

#include "plugin/TcpIpExport.h"
#include "tests/support/LoopbackClient.h"

// Resets the fake host, picks a free port for the port dialog, initialises the
// plug-in and runs its pre-run, which starts the worker.  The pre-runs look
// for NMBNetworkPlugin.ini in `settingsFolder` (none when it is empty).
std::unique_ptr<TcpIpExport> startServedPlugin(quint16& port, const QString& settingsFolder = QString());

// Connects, sends the role message and reads the 39-byte answer (or the 27
// bytes of an answer with an empty role).  Returns the answer.
QByteArray connectAs(LoopbackClient& client, quint16 port, const char* role);

// Polls `condition` every millisecond for up to `timeoutMs`.
bool eventually(const std::function<bool()>& condition, int timeoutMs = 3000);

struct ChannelListsProbe {
  static int requestChannelCount(TcpIpExport& plugin);
  static int executeChannelCount(TcpIpExport& plugin);
  // The client-side ports of the execute channels, in list order.
  static QVector<quint16> executeClientPorts(TcpIpExport& plugin);

  // The notification delivery, seen from inside.
  // Gives every execute connection's socket a send buffer of `bytes`, so
  // that a client that does not read backs the plug-in up soon.
  static void shrinkExecuteSendBuffers(TcpIpExport& plugin, int bytes);
  // The same for the request channels' sockets: a large reply leaves in
  // many pieces.
  static void shrinkRequestSendBuffers(TcpIpExport& plugin, int bytes);
  // The delivery's test seam: its time limits, sends that go in pieces, and
  // a hold of the worker's sweep.
  static DeliveryTestSeam& deliverySeam(TcpIpExport& plugin);
  // Notification bytes that wait in the plug-in, over all connections.
  static qint64 pendingNotificationBytes(TcpIpExport& plugin);
  // Whether the delivery thread waits for work (so the host's thread may
  // send a step's frames itself).
  static bool deliveryThreadWaits(TcpIpExport& plugin);
  // Whether frames wait in the hand-over for the delivery thread.
  static bool framesHandedOver(TcpIpExport& plugin);
  // How often the delivery thread has returned from a wait.
  static quint64 deliveryWakeUps(TcpIpExport& plugin);
  // Makes the delivery thread's start fail, as in a process out of threads.
  // Before the pre-run.
  static void failDeliveryThreadStart(TcpIpExport& plugin);
};

struct SettingsFolderProbe {
  // Where the plug-in's pre-runs look for NMBNetworkPlugin.ini instead of
  // beside its library (here: beside the test executable).
  static void use(TcpIpExport& plugin, const QString& folder);
};
