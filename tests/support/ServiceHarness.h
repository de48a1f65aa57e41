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
};

struct SettingsFolderProbe {
  // Where the plug-in's pre-runs look for NMBNetworkPlugin.ini instead of
  // beside its library (here: beside the test executable).
  static void use(TcpIpExport& plugin, const QString& folder);
};
