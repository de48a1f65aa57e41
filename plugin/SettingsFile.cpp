#include "plugin/SettingsFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QTextCodec>
#include <QtAlgorithms>
#include <algorithm>
#include <iterator>

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

// What a reading found wrong: problems, a long list of which is cut short in
// the log, and alarms, lines about an outcome nobody may overlook, which
// never are.
struct Findings {
  QVector<Problem> problems;
  QStringList alarms;
};

// One `key = value` line.  The key carries its section ("Lab/allow"), unless
// that is [General] or none.
struct Assignment {
  int line;
  QString key;
  QString value;
};

QString quoted(QString text) {
  if (text.size() > kMaxQuotedChars) text = text.left(kMaxQuotedChars) + QStringLiteral("...");
  return QLatin1Char('"') + text.toHtmlEscaped() + QLatin1Char('"');
}

// The file's text, or false with the reason why it is none.  UTF-8 unless a
// byte order mark says UTF-16 (what Notepad saves as "Unicode") or UTF-32;
// the mark is dropped.  Nothing is read from a folder, a pipe or a device,
// and a file beyond kMaxFileBytes is not read at all.
bool readText(const QString& path, const QFileInfo& info, QString& text, QString& why) {
  if (!info.isFile()) {
    why = info.isDir() ? QStringLiteral("a folder") : QStringLiteral("not a file");
    return false;
  }
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    why = file.errorString();
    return false;
  }
  // One byte beyond the limit, so that a file that grew since it was looked
  // at is caught as well.
  const QByteArray bytes = file.read(kMaxFileBytes + 1);
  if (file.error() != QFileDevice::NoError) {
    why = file.errorString();
    return false;
  }
  if (bytes.size() > kMaxFileBytes) {
    why = QStringLiteral("larger than %1 KiB").arg(kMaxFileBytes / 1024);
    return false;
  }
  text = QTextCodec::codecForUtfText(bytes, QTextCodec::codecForMib(106))->toUnicode(bytes);
  // No settings file holds a NUL, but UTF-16 read without its mark does.
  if (text.contains(QChar(0))) {
    why = QStringLiteral("not text in UTF-8, nor in UTF-16 with a byte order mark");
    return false;
  }
  return true;
}

// The file's settings lines, in order; a line that is none of a comment, a
// section header or `key = value` is a problem.
QVector<Assignment> assignments(const QString& text, Findings& findings) {
  static const QRegularExpression lineEnd(QStringLiteral("\r\n|\r|\n"));
  static const QRegularExpression comment(QStringLiteral("[#;]"));
  QVector<Assignment> found;
  QString section;
  const QStringList lines = text.split(lineEnd);
  for (int i = 0; i < lines.size(); ++i) {
    const int number = i + 1;
    // A comment runs from # or ; to the end of the line, behind a value as
    // well as on a line of its own.  No value has either character.
    const QString line = lines[i].left(lines[i].indexOf(comment)).trimmed();
    if (line.isEmpty()) continue;
    if (line.startsWith(QLatin1Char('['))) {
      if (line.endsWith(QLatin1Char(']'))) {
        section = line.mid(1, line.size() - 2).trimmed();
        if (section.compare(QLatin1String("General"), Qt::CaseInsensitive) == 0) section.clear();
      } else {
        findings.problems.append(
            {number, quoted(line) + QStringLiteral(" is a section header without \"]\"")});
      }
      continue;
    }
    const int equals = line.indexOf(QLatin1Char('='));
    const QString key = equals > 0 ? line.left(equals).trimmed() : QString();
    if (key.isEmpty()) {
      findings.problems.append(
          {number, quoted(line) + (equals < 0 ? QStringLiteral(" is not a setting (key = value)")
                                              : QStringLiteral(" names no setting"))});
      continue;
    }
    QString value = line.mid(equals + 1).trimmed();
    if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
      value = value.mid(1, value.size() - 2).trimmed();
    found.append({number, section.isEmpty() ? key : section + QLatin1Char('/') + key, value});
  }
  return found;
}

// ASCII digits only (QChar::isDigit also takes other scripts' digits).
bool isDecimal(const QString& text, int maxDigits) {
  if (text.isEmpty() || text.size() > maxDigits) return false;
  return std::all_of(text.begin(), text.end(),
                     [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
}

// a.b.c.d, four decimal parts from 0 to 255.  A leading zero makes no octal
// number (010 is ten, as a person reads it) and hex is no address.
bool parseIpv4(const QString& text, quint32& value) {
  const QStringList parts = text.split(QLatin1Char('.'));
  if (parts.size() != 4) return false;
  value = 0;
  for (const QString& part : parts) {
    if (!isDecimal(part, 3) || part.toInt() > 255) return false;
    value = value << 8 | quint32(part.toInt());
  }
  return true;
}

// A whole address: IPv6, or IPv4 as parseIpv4 reads it.
bool parseAddress(const QString& text, QHostAddress& address) {
  if (text.contains(QLatin1Char(':')))
    return address.setAddress(text) && address.protocol() == QAbstractSocket::IPv6Protocol;
  quint32 value = 0;
  if (!parseIpv4(text, value)) return false;
  address.setAddress(value);
  return true;
}

// The n of a network's "/n", which for IPv4 may also be written as a netmask
// (255.255.255.0); -1 when the text is neither.
int prefixLength(const QString& text, const QHostAddress& address) {
  const bool ipv4 = address.protocol() == QAbstractSocket::IPv4Protocol;
  if (isDecimal(text, 3)) return text.toInt() <= (ipv4 ? 32 : 128) ? text.toInt() : -1;
  quint32 mask = 0;
  if (!ipv4 || !parseIpv4(text, mask)) return -1;
  const int ones = qPopulationCount(mask);
  return mask == (ones == 0 ? 0u : ~quint32(0) << (32 - ones)) ? ones : -1;
}

// An address (the network of that one address) or address/prefix, or false
// with what is wrong with the text.
bool parseSubnetEntry(const QString& text, Subnet& subnet, QString& why) {
  why = QStringLiteral(" is not an address or a network such as 192.168.10.0/24");
  const int slash = text.indexOf(QLatin1Char('/'));
  QHostAddress address;
  if (!parseAddress(text.left(slash), address)) return false;
  const bool ipv4 = address.protocol() == QAbstractSocket::IPv4Protocol;
  const int prefix = slash < 0 ? (ipv4 ? 32 : 128) : prefixLength(text.mid(slash + 1), address);
  if (prefix < 0) return false;
  // A slip of the prefix must not let the whole world in.
  if (prefix == 0 && address != QHostAddress(ipv4 ? QHostAddress::AnyIPv4 : QHostAddress::AnyIPv6)) {
    why = QStringLiteral(
        " has the prefix /0, which would allow every address; for that write 0.0.0.0/0 or ::/0");
    return false;
  }
  // Through the text, so that the address's host bits are cleared.
  subnet = QHostAddress::parseSubnet(address.toString() + QLatin1Char('/') + QString::number(prefix));
  return subnet.second >= 0;
}

// Each parser takes the value of the line `line` and sets its rule, or what
// stands in for it, and records what is wrong.
using Parser = void (*)(const QString& value, int line, const LocalAddresses& local, AccessRules& rules,
                        Findings& findings);

QString alarmLine(int line, const QString& text) {
  return QStringLiteral("<b>Error</b> - %1 line %2: %3.")
      .arg(QLatin1String(kSettingsFileName))
      .arg(line)
      .arg(text);
}

void parseAllow(const QString& value, int line, const LocalAddresses&, AccessRules& rules,
                Findings& findings) {
  static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
  QVector<Subnet> allow;
  bool everyAddress = false;
  for (const QString& entry : value.split(separators, Qt::SkipEmptyParts)) {
    Subnet subnet;
    QString why;
    if (!parseSubnetEntry(entry, subnet, why)) {
      findings.problems.append(
          {line, QStringLiteral("allow: ") + quoted(entry) + why + QStringLiteral("; skipped")});
      continue;
    }
    everyAddress = everyAddress || subnet.second == 0;
    allow.append(subnet);
  }
  // 0.0.0.0/0 or ::/0: the lab opens the service to everybody on purpose.
  if (everyAddress || !allow.isEmpty()) {
    rules.allow = everyAddress ? QVector<Subnet>() : allow;
    return;
  }
  rules.allow = AccessRules::loopbackClients();
  findings.alarms.append(
      alarmLine(line, QStringLiteral("allow names no address or network that can be read, "
                                     "so <b>only this computer (127.0.0.1, ::1) may connect</b>")));
}

void parseListen(const QString& value, int line, const LocalAddresses&, AccessRules& rules,
                 Findings& findings) {
  QHostAddress address;
  if (parseAddress(value, address)) {
    rules.listen = clientAddress(address);
    return;
  }
  // Where the lab meant to listen is unknown: on no network at all.  A
  // program on this computer may still come from another loopback address
  // (127.0.0.2), so an open allow narrows to this computer's own as well.
  rules.listen = QHostAddress(QHostAddress::LocalHost);
  if (rules.allow.isEmpty()) rules.allow = AccessRules::loopbackClients();
  findings.problems.append(
      {line, QStringLiteral("listen: ") + quoted(value) +
                 QStringLiteral(" is not an address; the plug-in listens on 127.0.0.1 and "
                                "serves this computer only")});
}

void parseMaxConnections(const QString& value, int line, const LocalAddresses&, AccessRules& rules,
                         Findings& findings) {
  if (isDecimal(value, 5) && value.toInt() >= 1 && value.toInt() <= kMaxConnectionsLimit) {
    rules.maxConnectionsPerAddress = value.toInt();
    return;
  }
  findings.problems.append({line, QStringLiteral("maxConnectionsPerAddress: ") + quoted(value) +
                                      QStringLiteral(" is not a whole number from 1 to %1; any number of "
                                                     "connections per address is served")
                                          .arg(kMaxConnectionsLimit)});
}

void parseBroadcast(const QString& value, int line, const LocalAddresses& local, AccessRules& rules,
                    Findings& findings) {
  if (value.compare(QLatin1String("on"), Qt::CaseInsensitive) == 0) return;
  if (value.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0) {
    rules.broadcastTo = QHostAddress();
    return;
  }
  QHostAddress address;
  QString error;
  if (!parseAddress(value, address)) {
    error = QStringLiteral("broadcast: ") + quoted(value) +
            QStringLiteral(" is neither on, off nor the address of an interface");
  } else {
    // The interface's own address, or (as a convenience) its broadcast address.
    for (const QNetworkAddressEntry& entry : local()) {
      if (entry.broadcast().isNull()) continue;
      if (entry.ip().isEqual(address) || entry.broadcast().isEqual(address)) {
        rules.broadcastTo = entry.broadcast();
        return;
      }
    }
    error =
        QStringLiteral("broadcast: ") + address.toString() +
        QStringLiteral(" is not the address of an interface of this computer that has a broadcast address");
  }
  // Programs on this computer still find the service; nobody else hears of it.
  rules.broadcastTo = QHostAddress(QHostAddress::LocalHost);
  findings.problems.append(
      {line, error + QStringLiteral("; the broadcast goes to 127.0.0.1 only, to programs on "
                                    "this computer")});
}

struct Setting {
  const char* name;
  Parser parse;
};

// In this order, which listen's stand-in relies on: allow is known by then.
const Setting kSettings[] = {
    {"allow", parseAllow},
    {"listen", parseListen},
    {"maxConnectionsPerAddress", parseMaxConnections},
    {"broadcast", parseBroadcast},
};
constexpr int kSettingCount = int(std::size(kSettings));

int findSetting(const QString& key) {
  for (int i = 0; i < kSettingCount; ++i)
    if (key.compare(QLatin1String(kSettings[i].name), Qt::CaseInsensitive) == 0) return i;
  return -1;
}

QString problemLine(const Problem& problem) {
  const QString where = problem.line > 0 ? QStringLiteral(" line %1").arg(problem.line) : QString();
  return QStringLiteral("<b>Warning</b> - ") + QLatin1String(kSettingsFileName) + where +
         QStringLiteral(": ") + problem.text + QLatin1Char('.');
}

// `source`: "from C:\...\NMBNetworkPlugin.ini", or "in force" for rules that
// were not read just now.
QString rulesLine(const QString& source, const AccessRules& rules) {
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
             "<b>Info</b> - Client rules %1: allow <b>%2</b>; listen on <b>%3</b>; %4 per address; "
             "broadcast %5.")
      .arg(source.toHtmlEscaped(), allowed.isEmpty() ? every : allowed.join(QStringLiteral(", ")), listen,
           perAddress, broadcast);
}

}  // namespace

SettingsFile::SettingsFile(LocalAddresses localAddresses) : localAddresses_(std::move(localAddresses)) {}

SettingsReading SettingsFile::read(const QString& path) {
  SettingsReading reading;
  const QFileInfo info(path);
  if (!info.exists()) return reading;
  const QString nativePath = QDir::toNativeSeparators(path);
  QString text, why;
  if (!readText(path, info, text, why)) {
    // The lab has a file, so it means to restrict: never serve as without one.
    reading.rules = lastRead_.value_or(AccessRules::loopbackOnly());
    reading.logLines.append(QStringLiteral("<b>Warning</b> - Cannot read %1 (%2); %3.")
                                .arg(nativePath.toHtmlEscaped(), why.toHtmlEscaped(),
                                     lastRead_
                                         ? QStringLiteral("the rules it gave at an earlier pre-run stay")
                                         : QStringLiteral("until it can be read, only this computer "
                                                          "(127.0.0.1, ::1) may connect")));
    reading.logLines.append(rulesLine(QStringLiteral("in force"), reading.rules));
    return reading;
  }

  Findings findings;
  // The line that sets each setting last, which applies, and the first.
  const Assignment* applies[kSettingCount] = {};
  int firstLine[kSettingCount] = {};
  const QVector<Assignment> lines = assignments(text, findings);
  // The first line that sets nothing the plug-in knows.
  int unknownLine = findings.problems.isEmpty() ? 0 : findings.problems.first().line;
  for (const Assignment& assignment : lines) {
    int setting = findSetting(assignment.key);
    const int slash = assignment.key.lastIndexOf(QLatin1Char('/'));
    if (setting < 0 && slash >= 0) {
      // The file has no sections, but a lab that wrote "[Lab]" above its
      // allow line still means that allow line.
      setting = findSetting(assignment.key.mid(slash + 1));
      if (setting >= 0)
        findings.problems.append(
            {assignment.line, QStringLiteral("the settings have no sections; ") + quoted(assignment.key) +
                                  QStringLiteral(" is taken as ") + QLatin1String(kSettings[setting].name)});
    }
    if (setting < 0) {
      if (unknownLine == 0 || assignment.line < unknownLine) unknownLine = assignment.line;
      findings.problems.append(
          {assignment.line, QStringLiteral("unknown setting ") + quoted(assignment.key) +
                                QStringLiteral(", ignored (the settings are allow, listen, "
                                               "maxConnectionsPerAddress and broadcast)")});
      continue;
    }
    if (applies[setting] == nullptr) firstLine[setting] = assignment.line;
    applies[setting] = &assignment;
  }
  for (int i = 0; i < kSettingCount; ++i) {
    if (applies[i] == nullptr) continue;
    const int line = applies[i]->line;
    if (line != firstLine[i])
      findings.problems.append(
          {line, QStringLiteral("%1 is set more than once (first on line %2); the last one applies")
                     .arg(QLatin1String(kSettings[i].name))
                     .arg(firstLine[i])});
    kSettings[i].parse(applies[i]->value, line, localAddresses_, reading.rules, findings);
  }
  // A misspelt "alow", or "allow 10.0.0.7" without its "=", would otherwise
  // serve every address while the lab believes it restricted them: a file
  // with a line that sets nothing known and no allow admits nobody from
  // elsewhere.
  if (unknownLine > 0 && applies[findSetting(QStringLiteral("allow"))] == nullptr) {
    reading.rules.allow = AccessRules::loopbackClients();
    findings.alarms.append(
        alarmLine(unknownLine,
                  QStringLiteral("a line that sets nothing known, and no allow: it may be a misspelt allow, "
                                 "so <b>only this computer (127.0.0.1, ::1) may connect</b>")));
  }

  QVector<Problem>& problems = findings.problems;
  std::stable_sort(problems.begin(), problems.end(),
                   [](const Problem& a, const Problem& b) { return a.line < b.line; });
  for (int i = 0; i < problems.size() && i < kMaxProblemLines; ++i)
    reading.logLines.append(problemLine(problems[i]));
  if (problems.size() > kMaxProblemLines)
    reading.logLines.append(QStringLiteral("<b>Warning</b> - %1: %2 more problems not listed.")
                                .arg(QLatin1String(kSettingsFileName))
                                .arg(problems.size() - kMaxProblemLines));
  reading.logLines += findings.alarms;
  reading.logLines.append(rulesLine(QStringLiteral("from ") + nativePath, reading.rules));
  lastRead_ = reading.rules;
  return reading;
}

QList<QNetworkAddressEntry> interfaceAddresses() {
  QList<QNetworkAddressEntry> entries;
  for (const QNetworkInterface& networkInterface : QNetworkInterface::allInterfaces())
    entries += networkInterface.addressEntries();
  return entries;
}
