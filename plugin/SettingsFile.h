// SettingsFile: NMBNetworkPlugin.ini, the optional file beside the plug-in's
// library with which a lab decides who may connect (see docs/security.md).
//
// An INI file, in UTF-8 (with or without a byte order mark) or UTF-16 with a
// byte order mark:
//
//   allow = 127.0.0.1, 192.168.10.0/24   ; the stimulus PC's network
//   listen = 192.168.10.2                # the lab's network card
//   maxConnectionsPerAddress = 4
//   broadcast = off
//
// Nothing in it can stop a scan, and nothing in it opens the service wider
// than the lab wrote: each problem gives one log line naming the line and
// what was wrong, and
//   - an entry of allow that cannot be read is skipped; when no entry can be
//     read, only this computer may connect (an error line says so);
//   - a listen or broadcast value that cannot be read serves this computer
//     only (AccessRules::loopbackOnly);
//   - any other bad value keeps that setting's default;
//   - a file that cannot be read, or is larger than 256 KiB, keeps the rules
//     of the last reading that could read it, or serves this computer only.
//
//   SettingsFile settingsFile(interfaceAddresses);
//   const SettingsReading reading = settingsFile.read(path);  // each pre-run
//   for (const QString& line : reading.logLines) loglines::write(line);
//
// Called on the host's thread at pre-run; one object per plug-in, which
// remembers the rules it last read.
#pragma once

#include <QList>
#include <QNetworkAddressEntry>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

#include "channels/AccessRules.h"

inline constexpr char kSettingsFileName[] = "NMBNetworkPlugin.ini";

struct SettingsReading {
  // What applies.
  AccessRules rules;
  // The host's log lines: one per problem, then the line with the rules in
  // force.  Empty when there is no file.
  QStringList logLines;
};

// The address entries of this computer's interfaces, asked for only when the
// file names an interface for the broadcast.
using LocalAddresses = std::function<QList<QNetworkAddressEntry>()>;

class SettingsFile {
 public:
  explicit SettingsFile(LocalAddresses localAddresses);

  // Reads the settings file at `path`.  A missing file gives the default
  // rules and no log line.
  SettingsReading read(const QString& path);

 private:
  LocalAddresses localAddresses_;
  // The rules of the last file that could be read.
  std::optional<AccessRules> lastRead_;
};

// The address entries of every interface of this computer.
QList<QNetworkAddressEntry> interfaceAddresses();
