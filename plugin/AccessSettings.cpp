// The settings file at pre-run: read on the host's thread, reported in the
// host's log, handed to the channel worker.
#include <QDir>

#include "plugin/LogLines.h"
#include "plugin/SettingsFile.h"
#include "plugin/TcpIpExport.h"
#include "plugin/platform/HostModule.h"

AccessRules TcpIpExport::readAccessRules() {
  const QString folder =
      settingsFolder.isEmpty() ? QString::fromUtf8(platform::ownModuleFolder().c_str()) : settingsFolder;
  // A plug-in that cannot tell where it was loaded from has no file beside it.
  const SettingsReading reading =
      folder.isEmpty() ? SettingsReading{}
                       : settingsFile.read(QDir(folder).filePath(QLatin1String(kSettingsFileName)));
  for (const QString& line : reading.logLines) loglines::write(line);
  {
    MutexLock lock(&accessRulesMutex);
    accessRules = reading.rules;
    // Every pre-run starts a new run of refusal reports, also with the same rules.
    accessRulesRevision.fetch_add(1, std::memory_order_release);
  }
  return reading.rules;
}
