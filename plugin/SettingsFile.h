// SettingsFile: NMBNetworkPlugin.ini, the optional file beside the plug-in's
// library with which a lab decides who may connect (see docs/security.md).
//
// An INI file, read with QSettings:
//
//   allow = 127.0.0.1, 192.168.10.0/24
//   listen = 192.168.10.2
//   maxConnectionsPerAddress = 4
//   broadcast = off
//
// Nothing in it can stop a scan: a line that is no setting, an unknown key or
// a value that does not parse gives one log line naming the line and what was
// wrong, and that setting keeps its default (the service as it is without the
// file).  A file that cannot be read counts as missing, with one log line.
//
//   const SettingsReading reading = readSettingsFile(path, localAddresses);
//   for (const QString& line : reading.logLines) loglines::write(line);
//
// Pure apart from reading the file; called on the host's thread at pre-run.
#pragma once

#include <QList>
#include <QNetworkAddressEntry>
#include <QString>
#include <QStringList>
#include <functional>

#include "channels/AccessRules.h"

inline constexpr char kSettingsFileName[] = "NMBNetworkPlugin.ini";

struct SettingsReading {
  // What applies: the file's settings, each bad one at its default.
  AccessRules rules;
  // The host's log lines: one per problem, then (for a file that was read)
  // the line with the rules in force.  Empty when there is no file.
  QStringList logLines;
};

// The address entries of this computer's interfaces, asked for only when the
// file names an interface for the broadcast.
using LocalAddresses = std::function<QList<QNetworkAddressEntry>()>;

// Reads the settings file at `path`.  A missing file gives the default rules
// and no log line.
SettingsReading readSettingsFile(const QString& path, const LocalAddresses& localAddresses);

// The address entries of every interface of this computer.
QList<QNetworkAddressEntry> interfaceAddresses();
