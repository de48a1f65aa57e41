#include "plugin/SettingsFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QSettings>
#include <algorithm>

namespace {

// Far more than any list of addresses; a file beyond this is no settings file
// and is not read on Nimbrel's thread.
constexpr qint64 kMaxFileBytes = 256 * 1024;
// A file full of errors still gives a readable log.
constexpr int kMaxProblemLines = 20;
constexpr int kMaxConnectionsLimit = 10000;
// The longest piece of a line quoted back in a log line.
constexpr int kMaxQuotedChars = 60;

struct Problem {
  int line;  // 0: no line known
  QString text;
};

// What the lines of the file say, looked at one by one: QSettings skips
// lines it cannot use without a word and knows no line numbers.
struct LineScan {
  QVector<Problem> malformed;
  // The lines that set each key, by the key in lower case ("section/key" in
  // a section other than [General]).
  QHash<QString, QVector<int>> linesOfKey;
};

QString quoted(QString text) {
  if (text.size() > kMaxQuotedChars) text = text.left(kMaxQuotedChars) + QStringLiteral("...");
  return QLatin1Char('"') + text.toHtmlEscaped() + QLatin1Char('"');
}

// Windows editors often start a UTF-8 file with a byte order mark.  QSettings
// takes it for part of the first key, so it is dropped there as well.
QString withoutByteOrderMark(const QString& text) {
  static const QString mark = QString::fromLatin1("\xEF\xBB\xBF");
  return text.startsWith(mark) ? text.mid(mark.size()) : text;
}

LineScan scanLines(const QByteArray& bytes) {
  LineScan scan;
  QString section;
  const QStringList lines = withoutByteOrderMark(QString::fromLatin1(bytes)).split(QLatin1Char('\n'));
  for (int i = 0; i < lines.size(); ++i) {
    const int number = i + 1;
    const QString line = lines[i].trimmed();
    if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#'))) continue;
    if (line.startsWith(QLatin1Char('['))) {
      if (line.endsWith(QLatin1Char(']'))) {
        section = line.mid(1, line.size() - 2).trimmed();
        if (section.compare(QLatin1String("General"), Qt::CaseInsensitive) == 0) section.clear();
      } else {
        scan.malformed.append({number, quoted(line) + QStringLiteral(" is a section header without \"]\"")});
      }
      continue;
    }
    const int equals = line.indexOf(QLatin1Char('='));
    const QString key = equals > 0 ? line.left(equals).trimmed() : QString();
    if (key.isEmpty()) {
      scan.malformed.append(
          {number, quoted(line) + (equals < 0 ? QStringLiteral(" is not a setting (key = value)")
                                              : QStringLiteral(" names no setting"))});
      continue;
    }
    const QString qualified = section.isEmpty() ? key : section + QLatin1Char('/') + key;
    scan.linesOfKey[qualified.toLower()].append(number);
  }
  return scan;
}

// A whole address: an IPv6 address, or an IPv4 address with all four parts
// (QHostAddress would also take "10" for 0.0.0.10).
bool parseAddress(const QString& text, QHostAddress& address) {
  static const QRegularExpression ipv4(QStringLiteral("^\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}$"));
  if (!text.contains(QLatin1Char(':')) && !ipv4.match(text).hasMatch()) return false;
  return address.setAddress(text);
}

// An address (the network of that one address) or address/prefix.
bool parseSubnetEntry(const QString& text, Subnet& subnet) {
  const int slash = text.indexOf(QLatin1Char('/'));
  QHostAddress address;
  if (!parseAddress(slash < 0 ? text : text.left(slash), address)) return false;
  if (slash < 0) {
    subnet = {address, address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128};
    return true;
  }
  subnet = QHostAddress::parseSubnet(text);
  return subnet.second >= 0;
}

// The setting's value as one text: QSettings turns unquoted commas into a list.
QString valueText(const QVariant& value) {
  return value.type() == QVariant::StringList ? value.toStringList().join(QStringLiteral(", "))
                                              : value.toString();
}

// Each parser takes the value and sets its rule, or says what is wrong.
using Parser = bool (*)(const QString& value, const LocalAddresses& local, AccessRules& rules,
                        QString& error);

bool parseAllow(const QString& value, const LocalAddresses&, AccessRules& rules, QString& error) {
  static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
  const QStringList entries = value.split(separators, Qt::SkipEmptyParts);
  if (entries.isEmpty()) {
    error = QStringLiteral("allow lists no address");
    return false;
  }
  QVector<Subnet> allow;
  for (const QString& entry : entries) {
    Subnet subnet;
    if (!parseSubnetEntry(entry, subnet)) {
      error = QStringLiteral("allow: ") + quoted(entry) +
              QStringLiteral(" is not an address or a network such as 192.168.10.0/24");
      return false;
    }
    allow.append(subnet);
  }
  rules.allow = allow;
  return true;
}

bool parseListen(const QString& value, const LocalAddresses&, AccessRules& rules, QString& error) {
  QHostAddress address;
  if (!parseAddress(value.trimmed(), address)) {
    error = QStringLiteral("listen: ") + quoted(value) + QStringLiteral(" is not an address");
    return false;
  }
  rules.listen = address;
  return true;
}

bool parseMaxConnections(const QString& value, const LocalAddresses&, AccessRules& rules, QString& error) {
  bool ok = false;
  const int count = value.trimmed().toInt(&ok);
  if (!ok || count < 1 || count > kMaxConnectionsLimit) {
    error = QStringLiteral("maxConnectionsPerAddress: ") + quoted(value) +
            QStringLiteral(" is not a whole number from 1 to %1").arg(kMaxConnectionsLimit);
    return false;
  }
  rules.maxConnectionsPerAddress = count;
  return true;
}

bool parseBroadcast(const QString& value, const LocalAddresses& local, AccessRules& rules, QString& error) {
  const QString text = value.trimmed();
  if (text.compare(QLatin1String("on"), Qt::CaseInsensitive) == 0) return true;
  if (text.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0) {
    rules.broadcastTo = QHostAddress();
    return true;
  }
  QHostAddress address;
  if (!parseAddress(text, address)) {
    error = QStringLiteral("broadcast: ") + quoted(value) +
            QStringLiteral(" is neither on, off nor the address of an interface");
    return false;
  }
  // The interface's own address, or (as a convenience) its broadcast address.
  for (const QNetworkAddressEntry& entry : local()) {
    if (entry.broadcast().isNull()) continue;
    if (entry.ip().isEqual(address) || entry.broadcast().isEqual(address)) {
      rules.broadcastTo = entry.broadcast();
      return true;
    }
  }
  error = QStringLiteral("broadcast: ") + address.toString() +
          QStringLiteral(" is not the address of an interface of this computer that has a broadcast address");
  return false;
}

struct Setting {
  const char* name;
  Parser parse;
  // What applies instead when the value is bad.
  const char* fallback;
};

const Setting kSettings[] = {
    {"allow", parseAllow, "clients from every address are served"},
    {"listen", parseListen, "the plug-in listens on every address"},
    {"maxConnectionsPerAddress", parseMaxConnections, "any number of connections per address is served"},
    {"broadcast", parseBroadcast, "the broadcast goes to 255.255.255.255"},
};

const Setting* findSetting(const QString& key) {
  for (const Setting& setting : kSettings)
    if (key.compare(QLatin1String(setting.name), Qt::CaseInsensitive) == 0) return &setting;
  return nullptr;
}

QString problemLine(const Problem& problem) {
  const QString where = problem.line > 0 ? QStringLiteral(" line %1").arg(problem.line) : QString();
  return QStringLiteral("<b>Warning</b> - ") + QLatin1String(kSettingsFileName) + where +
         QStringLiteral(": ") + problem.text + QLatin1Char('.');
}

QString rulesLine(const QString& path, const AccessRules& rules) {
  QStringList allowed;
  for (const Subnet& subnet : rules.allow) allowed.append(subnetText(subnet));
  const QString every = QStringLiteral("every address");
  const QString listen = rules.listen == QHostAddress(QHostAddress::Any) ? every : rules.listen.toString();
  const int most = rules.maxConnectionsPerAddress;
  const QString perAddress = most == 0   ? QStringLiteral("any number of connections")
                             : most == 1 ? QStringLiteral("at most <b>1</b> connection")
                                         : QStringLiteral("at most <b>%1</b> connections").arg(most);
  const QString broadcast = rules.broadcastTo.isNull()
                                ? QStringLiteral("<b>off</b>")
                                : QStringLiteral("to <b>%1</b>").arg(rules.broadcastTo.toString());
  return QStringLiteral(
             "<b>Info</b> - Client rules from %1: allow <b>%2</b>; listen on <b>%3</b>; %4 per address; "
             "broadcast %5.")
      .arg(path.toHtmlEscaped(), allowed.isEmpty() ? every : allowed.join(QStringLiteral(", ")), listen,
           perAddress, broadcast);
}

QString unreadableLine(const QString& path, const QString& reason) {
  return QStringLiteral("<b>Warning</b> - Cannot read %1 (%2); the plug-in serves as it does without it.")
      .arg(QDir::toNativeSeparators(path).toHtmlEscaped(), reason.toHtmlEscaped());
}

}  // namespace

SettingsReading readSettingsFile(const QString& path, const LocalAddresses& localAddresses) {
  SettingsReading reading;
  const QFileInfo info(path);
  if (!info.exists()) return reading;
  QFile file(path);
  if (info.isDir() || !file.open(QIODevice::ReadOnly)) {
    reading.logLines.append(
        unreadableLine(path, info.isDir() ? QStringLiteral("a folder") : file.errorString()));
    return reading;
  }
  if (file.size() > kMaxFileBytes) {
    reading.logLines.append(
        unreadableLine(path, QStringLiteral("larger than %1 KiB").arg(kMaxFileBytes / 1024)));
    return reading;
  }
  const LineScan scan = scanLines(file.readAll());
  file.close();

  QSettings settings(path, QSettings::IniFormat);
  if (settings.status() == QSettings::AccessError) {
    reading.logLines.append(unreadableLine(path, QStringLiteral("access denied")));
    return reading;
  }

  QVector<Problem> problems = scan.malformed;
  // The QSettings key that applies for each setting: the one set last.
  QHash<const Setting*, QPair<int, QString>> chosen;
  for (const QString& rawKey : settings.allKeys()) {
    const QString key = withoutByteOrderMark(rawKey);
    // A comment line to everybody but QSettings, or a line the scan reported.
    if (key.isEmpty() || key.startsWith(QLatin1Char('#'))) continue;
    const QVector<int> lines = scan.linesOfKey.value(key.toLower());
    const int line = lines.isEmpty() ? 0 : lines.last();
    const Setting* setting = findSetting(key);
    if (setting == nullptr) {
      problems.append(
          {lines.isEmpty() ? 0 : lines.first(),
           QStringLiteral("unknown setting ") + quoted(key) +
               QStringLiteral(", ignored (the settings are allow, listen, maxConnectionsPerAddress "
                              "and broadcast)")});
      continue;
    }
    if (!chosen.contains(setting) || line > chosen[setting].first) chosen[setting] = {line, rawKey};
  }

  for (const Setting& setting : kSettings) {
    if (!chosen.contains(&setting)) continue;
    const auto& [line, key] = chosen[&setting];
    const QVector<int> lines = scan.linesOfKey.value(QString::fromLatin1(setting.name).toLower());
    if (lines.size() > 1)
      problems.append(
          {line, QStringLiteral("%1 is set more than once (first on line %2); the last one applies")
                     .arg(QLatin1String(setting.name))
                     .arg(lines.first())});
    QString error;
    if (!setting.parse(valueText(settings.value(key)), localAddresses, reading.rules, error))
      problems.append({line, error + QStringLiteral("; ") + QLatin1String(setting.fallback)});
  }

  std::stable_sort(problems.begin(), problems.end(),
                   [](const Problem& a, const Problem& b) { return a.line < b.line; });
  for (int i = 0; i < problems.size() && i < kMaxProblemLines; ++i)
    reading.logLines.append(problemLine(problems[i]));
  if (problems.size() > kMaxProblemLines)
    reading.logLines.append(QStringLiteral("<b>Warning</b> - %1: %2 more problems not listed.")
                                .arg(QLatin1String(kSettingsFileName))
                                .arg(problems.size() - kMaxProblemLines));
  reading.logLines.append(rulesLine(QDir::toNativeSeparators(path), reading.rules));
  return reading;
}

QList<QNetworkAddressEntry> interfaceAddresses() {
  QList<QNetworkAddressEntry> entries;
  for (const QNetworkInterface& networkInterface : QNetworkInterface::allInterfaces())
    entries += networkInterface.addressEntries();
  return entries;
}
