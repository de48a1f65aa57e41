// The run lifecycle: the five interface operations the host calls on its thread.
#include <QNetworkInterface>
#include <cstdio>

#include "plugin/HostFunctions.h"
#include "plugin/HostVersion.h"
#include "plugin/LogLines.h"
#include "plugin/PluginIdentity.h"
#include "plugin/QuietBoundary.h"
#include "plugin/TcpIpExport.h"
#include "plugin/Translation.h"
#include "plugin/platform/HostModule.h"
#include "protocol/HostCounts.h"
#include "protocol/ProtocolTexts.h"

namespace {

constexpr int kDefaultPort = 55555;
constexpr int kMinPort = 1;
constexpr int kMaxPort = 65535;
// The low 16 bits of the port dialog's answer when the user cancelled it.
constexpr quint16 kPortCancelValue = 49151;

int currentTimePoint() { return callHost(hostFunctions.tGetCurrentTimePoint, 0); }

QString hostPath(hostfn::tGetNMBPath* function) {
  char buffer[kHostPathBufferSize] = {};
  if (function != nullptr) function(buffer);
  buffer[kHostPathBufferSize - 1] = '\0';
  return QString::fromLatin1(buffer);
}

}  // namespace

// The host's entry points: an exception ends the call quietly (the lifecycle
// operations then report success, as they always do once initialised).
bool TcpIpExport::initPlugin() {
  return quietly(false, [this] { return doInitPlugin(); });
}
bool TcpIpExport::executePreRun(unsigned short) {
  return quietly(true, [this] { return doPreRun(); });
}
bool TcpIpExport::executePreStep() {
  return quietly(true, [this] { return doPreStep(); });
}
bool TcpIpExport::executePostStep() {
  return quietly(true, [this] { return doPostStep(); });
}
bool TcpIpExport::executePostRun() {
  return quietly(true, [this] { return doPostRun(); });
}

bool TcpIpExport::doInitPlugin() {
  if (!bindHostFunctions()) return false;

  if (hostFunctions.tGetNMBPath != nullptr)
    platform::addLibraryDirectory(hostPath(hostFunctions.tGetNMBPath).toLatin1().constData());

  if (isSupportedHostVersion(queryHostVersion())) return true;
  if (hostFunctions.tMessageBox != nullptr)
    hostFunctions.tMessageBox("Can not execute this plugin - Nimbrel version 3.0 or higher required.");
  return false;
}

bool TcpIpExport::doPreRun() {
  // A cancelled plug-in stays cancelled: a later pre-run asks nothing, logs
  // nothing and starts nothing.  A worker an earlier pre-run started keeps
  // serving its clients, but no run notifies them any more, so a listener
  // started now would advertise a service that never delivers a step.
  if (pluginCanceled) return true;

  const HostVersion version = queryHostVersion();
  loglines::write(QStringLiteral("<b>Info</b> - Nimbrel version: %1.%2.%3")
                      .arg(version.major)
                      .arg(version.minor)
                      .arg(version.subversion));
  loglines::write(
      QStringLiteral("<b>Info</b> - Plugin version: %1").arg(QLatin1String(identity::kPluginVersion)));
  loglines::write(
      QStringLiteral("<b>Info</b> - Path to Nimbrel: %1").arg(hostPath(hostFunctions.tGetNMBPath)));
  loglines::write(
      QStringLiteral("<b>Info</b> - Path to Plugins: %1").arg(hostPath(hostFunctions.tGetPluginsPath)));

  const int answer = callHost(hostFunctions.tGetIntegerInput, kDefaultPort, "Define Port: ", kDefaultPort,
                              kMinPort, kMaxPort);
  const quint16 chosenPort = quint16(answer & 0xFFFF);
  // A cancelled dialog leaves a running worker on the port it serves: moving
  // it to the cancel value would cut off every client that reconnects.
  if (chosenPort == kPortCancelValue) {
    pluginCanceled = true;
    loglines::write(QStringLiteral("<b>Info</b> - User canceled plugin!"));
    return true;
  }

  // Before the port, so that a running worker that sees the new port also
  // finds the rules that go with it.
  const AccessRules rules = readAccessRules();
  port = chosenPort;
  // Starting the running worker again has no effect; it picks up the new port.
  start(QThread::InheritPriority);
  notificationDelivery.start();
  rawPieceReserve.start();

  const QString addresses = rules.listen == QHostAddress(QHostAddress::Any)
                                ? loglines::addressList(QNetworkInterface::allAddresses())
                                : translation::plugin("<b>") + rules.listen.toString() +
                                      translation::plugin("</b>") + translation::plugin(", <br>");
  loglines::write(QStringLiteral("<br><b>Info</b> - Listening on: <br>") + addresses +
                  QStringLiteral(" Port: <b>%1</b>").arg(chosenPort) + QStringLiteral("<br>"));
  loglines::write(QStringLiteral("<br><b>Info</b> - Listening on port: <b>%1</b><br>").arg(chosenPort));

  const int timePoint = currentTimePoint();
  MutexLock lock(&runRecordMutex);
  storedTimePoint = timePoint;
  return true;
}

bool TcpIpExport::doPreStep() {
  if (pluginCanceled) return true;

  hostcounts::Dims dims;
  if (hostFunctions.tGetDimsOfFunctionalData != nullptr) dims = hostcounts::queryDims();
  // 0 for sizes whose product does not fit an int or that make no volume.
  const int voxelsPerVolume = int(dims.voxels());

  // In 64 bits, so that the lowest time point a host may report stays a
  // (skipped) negative index instead of overflowing.
  const qint64 hostVolume =
      countsTimePointsFromOne(queryHostVersion()) ? qint64(currentTimePoint()) - 1 : currentTimePoint();
  const int volumeIndex = hostVolume < 0 ? -1 : int(hostVolume);

  if (runStartPendingOnHostThread()) {
    startRunRecord(qint64(callHost(hostFunctions.tGetExpectedNrOfTimePoints, 0)) * voxelsPerVolume);
    loglines::write(QStringLiteral(" "));
    loglines::write(QStringLiteral("<b>") + loglines::timeOfDay() +
                    QStringLiteral("</b>: Experiment started."));
    runTimer.start();
    MutexLock lock(&runRecordMutex);
    runStartPending = false;
  }

  loglines::writeStepLine("Executing pre-processing.");
  recordVolume(volumeIndex, voxelsPerVolume);
  notifyExecuteChannels(translation::plugin(texts::kPreStepCalled), currentTimePoint());
  return true;
}

bool TcpIpExport::doPostStep() {
  const int timePoint = currentTimePoint();
  {
    MutexLock lock(&runRecordMutex);
    storedTimePoint = timePoint;
  }
  if (pluginCanceled) return true;

  recordRoiValues();
  char text[48];
  std::snprintf(text, sizeof text, "Executing post-processing. (%d)", timePoint);
  loglines::writeStepLine(text);
  notifyExecuteChannels(translation::plugin(texts::kPostStepCalled), timePoint);
  return true;
}

bool TcpIpExport::doPostRun() {
  if (pluginCanceled) return true;

  notifyExecuteChannels(translation::plugin(texts::kPostRunCalled), currentTimePoint());
  loglines::write(QStringLiteral(" "));
  loglines::write(
      QStringLiteral("<b>Info</b> - Executed number of volumes: <b>%1</b>").arg(currentTimePoint()));
  // A timer never started (no pre-step yet) reports a run of no length.
  const qint64 elapsedMs = runTimer.isValid() ? runTimer.elapsed() : 0;
  loglines::write(QStringLiteral("<b>Info</b> - Execution time: <b>") +
                  loglines::executionSeconds(elapsedMs) + QStringLiteral("</b> seconds."));
  pruneChannels();
  loglines::write(QStringLiteral(" "));
  loglines::write(QStringLiteral("<b>") + loglines::timeOfDay() +
                  QStringLiteral("</b>: Plugin completed processing."));
  MutexLock lock(&runRecordMutex);
  runStartPending = true;
  return true;
}
