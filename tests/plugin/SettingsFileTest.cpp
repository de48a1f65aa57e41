#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <string>

#include "plugin/SettingsFile.h"

namespace {

// This computer, as far as the broadcast setting asks: one lab interface.
QList<QNetworkAddressEntry> labInterface() {
  QNetworkAddressEntry entry;
  entry.setIp(QHostAddress("192.168.10.2"));
  entry.setPrefixLength(24);
  entry.setBroadcast(QHostAddress("192.168.10.255"));
  return {entry};
}

class SettingsFileTest : public ::testing::Test {
 protected:
  QString path() const { return folder.filePath(kSettingsFileName); }
  void write(const QByteArray& bytes) {
    QFile file(path());
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
  }
  SettingsReading read(const QByteArray& text) {
    write(text);
    return settingsFile.read(path());
  }
  QTemporaryDir folder;
  SettingsFile settingsFile{labInterface};
};

// The rules as "allow | listen | broadcast", "*" for every address.
std::string described(const AccessRules& rules) {
  QStringList allowed;
  for (const Subnet& subnet : rules.allow) allowed.append(subnetText(subnet));
  const QString listen = rules.listen == QHostAddress(QHostAddress::Any) ? "*" : rules.listen.toString();
  const QString broadcast = rules.broadcastTo.isNull() ? "off" : rules.broadcastTo.toString();
  return QString("%1 | %2 | %3")
      .arg(allowed.isEmpty() ? "*" : allowed.join(", "), listen, broadcast)
      .toStdString();
}

QByteArray utf16(const QByteArray& text, bool bigEndian) {
  QByteArray bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char c : text) bytes += bigEndian ? QByteArray(1, '\0') + c : QByteArray(1, c) + '\0';
  return bytes;
}

void expectSameRules(const AccessRules& actual, const AccessRules& expected) {
  EXPECT_EQ(actual.allow, expected.allow);
  EXPECT_EQ(actual.listen, expected.listen);
  EXPECT_EQ(actual.maxConnectionsPerAddress, expected.maxConnectionsPerAddress);
  EXPECT_EQ(actual.broadcastTo, expected.broadcastTo);
}

}  // namespace

TEST_F(SettingsFileTest, NoFileMeansTheServiceAsItIsAndNothingLogged) {
  const SettingsReading reading = settingsFile.read(path());
  EXPECT_TRUE(reading.logLines.isEmpty());
  expectSameRules(reading.rules, AccessRules{});
  EXPECT_FALSE(reading.rules.restrictsClients());
}

TEST_F(SettingsFileTest, EverySettingIsReadAndTheRulesInForceAreLoggedInOneLine) {
  const QByteArray text =
      "; the stimulus PC, this computer and the lab network\r\n"
      "ALLOW = 127.0.0.1, 192.168.10.7/24 ::1, fe80::/10\r\n"
      "[General]\r\n"
      "listen=192.168.10.2# the lab's card\r\n"
      "maxConnectionsPerAddress = 4 ; one program's connections and a few more\r\n"
      "broadcast = 192.168.10.2\r\n";
  const struct {
    const char* encoding;
    QByteArray bytes;
  } files[] = {
      {"UTF-8", text},
      {"UTF-8 with a byte order mark (Notepad)", "\xEF\xBB\xBF" + text},
      {"UTF-16LE with a byte order mark (Notepad's \"Unicode\")", utf16(text, false)},
      {"UTF-16BE with a byte order mark", utf16(text, true)},
  };
  const QVector<Subnet> allow = {{QHostAddress("127.0.0.1"), 32},
                                 {QHostAddress("192.168.10.0"), 24},
                                 {QHostAddress("::1"), 128},
                                 {QHostAddress("fe80::"), 10}};
  for (const auto& file : files) {
    SCOPED_TRACE(file.encoding);
    const SettingsReading reading = read(file.bytes);
    EXPECT_EQ(reading.rules.allow, allow);
    EXPECT_EQ(reading.rules.listen, QHostAddress("192.168.10.2"));
    EXPECT_EQ(reading.rules.maxConnectionsPerAddress, 4);
    EXPECT_EQ(reading.rules.broadcastTo, QHostAddress("192.168.10.255"));
    ASSERT_EQ(reading.logLines.size(), 1) << reading.logLines.join('\n').toStdString();
    EXPECT_EQ(reading.logLines[0],
              "<b>Info</b> - Client rules from " + QDir::toNativeSeparators(path()) +
                  ": allow <b>127.0.0.1, 192.168.10.0/24, ::1, fe80::/10</b>; listen on <b>192.168.10.2</b>; "
                  "at most <b>4</b> connections per address; broadcast to <b>192.168.10.255</b>.");
  }

  const SettingsReading off = read("broadcast = OFF\n");
  EXPECT_TRUE(off.rules.broadcastTo.isNull());
  EXPECT_TRUE(
      off.logLines.last().endsWith("allow <b>every address</b>; listen on <b>every address</b>; any "
                                   "number of connections per address; broadcast <b>off</b>."));
}

TEST_F(SettingsFileTest, ALineThatSetsNothingGivesOneLineAndTheOthersApply) {
  struct Case {
    const char* good;  // line 1, which must still apply
    const char* bad;   // from line 2
    int line;
    const char* says;
  };
  const Case cases[] = {
      {"allow = 127.0.0.2", "this is no setting", 2, "\"this is no setting\" is not a setting (key = value)"},
      {"allow = 127.0.0.2", "[General", 2, "\"[General\" is a section header without \"]\""},
      {"allow = 127.0.0.2", "= 5", 2, "\"= 5\" names no setting"},
      {"allow = 127.0.0.2", "maxConnectionsPerAddress = 4x", 2,
       "maxConnectionsPerAddress: \"4x\" is not a whole number from 1 to 10000; any number of connections "
       "per address is served"},
      {"allow = 127.0.0.2", "maxConnectionsPerAddress = 0", 2, "\"0\" is not a whole number from 1 to 10000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bad);
    const AccessRules expected = read(c.good).rules;
    const SettingsReading reading = read(QByteArray(c.good) + '\n' + c.bad + '\n');
    ASSERT_EQ(reading.logLines.size(), 2) << reading.logLines.join('\n').toStdString();
    const QString problem = reading.logLines[0];
    EXPECT_TRUE(problem.startsWith(QString("<b>Warning</b> - NMBNetworkPlugin.ini line %1: ").arg(c.line)))
        << problem.toStdString();
    EXPECT_TRUE(problem.contains(c.says)) << problem.toStdString();
    EXPECT_TRUE(reading.logLines[1].startsWith("<b>Info</b> - Client rules from "));
    expectSameRules(reading.rules, expected);
  }
}

TEST_F(SettingsFileTest, BadSettingsNeverServeAnAddressTheLabDidNotAllow) {
  struct Case {
    const char* file;
    const char* rules;  // "allow | listen | broadcast", "*" for every address
    const char* says;   // in the log, besides the rules line; "" for nothing
    const char* refused;
    const char* admitted;  // nullptr: none to try
  };
  const Case cases[] = {
      {"allow = 192.168.10.7 # stimulus PC\nlisten = 192.168.10.2 ; lab card",
       "192.168.10.7 | 192.168.10.2 | 255.255.255.255", "", "192.168.10.8", "192.168.10.7"},
      {"allow = 10.1.1.300, 192.168.10.7:5000, 127.0.0.2", "127.0.0.2 | * | 255.255.255.255",
       "line 1: allow: \"10.1.1.300\" is not an address or a network such as", "127.0.0.1", "127.0.0.2"},
      {"allow = 10.1.1.300", "127.0.0.1, ::1 | * | 255.255.255.255",
       "<b>Error</b> - NMBNetworkPlugin.ini line 1: allow names no address or network that can be read, so "
       "<b>only this computer (127.0.0.1, ::1) may connect</b>.",
       "127.0.0.2", "127.0.0.1"},
      {"allow =", "127.0.0.1, ::1 | * | 255.255.255.255", "only this computer", "192.168.10.7", "::1"},
      {"allow = <script>", "127.0.0.1, ::1 | * | 255.255.255.255", "\"&lt;script&gt;\"", "192.168.10.7",
       nullptr},
      // Decimal, whatever the zeros; no octal, no hex.
      {"allow = 192.168.010.007", "192.168.10.7 | * | 255.255.255.255", "", "192.168.8.7", "192.168.10.7"},
      {"allow = 10.0.0.008, 0x7f.0.0.1, 127.1", "10.0.0.8 | * | 255.255.255.255", "\"0x7f.0.0.1\" is not",
       "127.0.0.1", "10.0.0.8"},
      {"allow = ::ffff:192.168.10.7", "::ffff:192.168.10.7 | * | 255.255.255.255", "", "192.168.10.8",
       "192.168.10.7"},
      {"allow = 10.0.0.0/255.0.0.0, 11.0.0.0/255.0.255.0, 12.0.0.0/33, 13.0.0.0/",
       "10.0.0.0/8 | * | 255.255.255.255", "\"11.0.0.0/255.0.255.0\" is not", "11.0.0.1", "10.9.9.9"},
      {"allow = 192.168.10.7/0, 127.0.0.2", "127.0.0.2 | * | 255.255.255.255",
       "\"192.168.10.7/0\" has the prefix /0, which would allow every address; for that write 0.0.0.0/0",
       "192.168.10.7", nullptr},
      {"allow = ::/0", "* | * | 255.255.255.255", "", nullptr, "203.0.113.9"},
      // The last one applies, also when it is the bad one.
      {"Allow = 127.0.0.2\nALLOW = 10.1.1.300", "127.0.0.1, ::1 | * | 255.255.255.255",
       "line 2: allow is set more than once (first on line 1); the last one applies.", "127.0.0.2", nullptr},
      // A misspelt allow, or one under a section header, never opens the service.
      {"alow = 192.168.10.7", "127.0.0.1, ::1 | * | 255.255.255.255",
       "line 1: a line that sets nothing known, and no allow: it may be a misspelt allow", "10.0.0.5",
       "127.0.0.1"},
      {"[Lab]\nallow = 192.168.10.7\nbroadcst = off", "192.168.10.7 | * | 255.255.255.255",
       "line 2: the settings have no sections; \"Lab/allow\" is taken as allow", "192.168.10.8",
       "192.168.10.7"},
      {"allow 192.168.10.7", "127.0.0.1, ::1 | * | 255.255.255.255", "may be a misspelt allow",
       "192.168.10.8", nullptr},
      {"listen = everywhere", "127.0.0.1, ::1 | 127.0.0.1 | 255.255.255.255",
       "\"everywhere\" is not an address; the plug-in listens on 127.0.0.1 and serves this computer only.",
       "127.0.0.2", "127.0.0.1"},
      {"allow = 192.168.10.7\nlisten = 192.168.10.2:5000", "192.168.10.7 | 127.0.0.1 | 255.255.255.255",
       "\"192.168.10.2:5000\" is not an address", "127.0.0.1", nullptr},
      {"allow = 127.0.0.2\nbroadcast = sometimes", "127.0.0.2 | * | 127.0.0.1",
       "\"sometimes\" is neither on, off nor the address of an interface; the broadcast goes to 127.0.0.1",
       "127.0.0.1", nullptr},
      {"allow = 127.0.0.2\nbroadcast = 10.9.9.9", "127.0.0.2 | * | 127.0.0.1",
       "10.9.9.9 is not the address of an interface of this computer that has a broadcast address",
       "127.0.0.1", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const SettingsReading reading = read(c.file);
    const std::string log = reading.logLines.join('\n').toStdString();
    EXPECT_EQ(described(reading.rules), c.rules) << log;
    const QString allowed = QString(c.rules).section(" | ", 0, 0).replace("*", "every address");
    EXPECT_TRUE(reading.logLines.last().contains(": allow <b>" + allowed + "</b>; ")) << log;
    if (*c.says == '\0') {
      EXPECT_EQ(reading.logLines.size(), 1) << log;
    } else {
      EXPECT_NE(log.find(c.says), std::string::npos) << log;
    }
    if (c.refused != nullptr) {
      EXPECT_FALSE(reading.rules.allows(QHostAddress(c.refused)));
      EXPECT_FALSE(reading.rules.allows(QHostAddress(QString("::ffff:") + c.refused)));
    }
    if (c.admitted != nullptr) {
      EXPECT_TRUE(reading.rules.allows(QHostAddress(c.admitted)));
    }
  }
  EXPECT_EQ(described(read("").rules), "* | * | 255.255.255.255");
}

TEST_F(SettingsFileTest, ASettingGivenTwiceIsReportedAndTheLastOneApplies) {
  const SettingsReading reading = read("allow = 127.0.0.2\nlisten = 127.0.0.1\nAllow = 127.0.0.3\n");
  ASSERT_EQ(reading.logLines.size(), 2);
  EXPECT_EQ(
      reading.logLines[0],
      "<b>Warning</b> - NMBNetworkPlugin.ini line 3: allow is set more than once (first on line 1); the last "
      "one applies.");
  EXPECT_EQ(reading.rules.allow, QVector<Subnet>({{QHostAddress("127.0.0.3"), 32}}));
}

TEST_F(SettingsFileTest, AFileThatCannotBeReadKeepsTheRulesLastReadOrServesThisComputerOnly) {
  const struct {
    const char* kind;
    std::function<void()> spoil;
  } unreadable[] = {
      {"a folder",
       [&] { ASSERT_TRUE(QFile::remove(path()) && QDir(folder.path()).mkdir(kSettingsFileName)); }},
      {"larger than 256 KiB", [&] { write("allow = 127.0.0.3\n" + QByteArray(300 * 1024, ';')); }},
      {"UTF-16 without its byte order mark", [&] { write(utf16("allow = 127.0.0.3\n", false).mid(2)); }},
  };
  for (const auto& file : unreadable) {
    SCOPED_TRACE(file.kind);
    settingsFile = SettingsFile(labInterface);
    write("");
    file.spoil();
    SettingsReading reading = settingsFile.read(path());
    ASSERT_EQ(reading.logLines.size(), 2) << reading.logLines.join('\n').toStdString();
    EXPECT_TRUE(reading.logLines[0].startsWith("<b>Warning</b> - Cannot read "));
    EXPECT_TRUE(
        reading.logLines[0].endsWith("; until it can be read, only this computer (127.0.0.1, ::1) may "
                                     "connect."))
        << reading.logLines[0].toStdString();
    EXPECT_EQ(reading.logLines[1],
              "<b>Info</b> - Client rules in force: allow <b>127.0.0.1, ::1</b>; listen on <b>127.0.0.1</b>; "
              "any number of connections per address; broadcast to <b>127.0.0.1</b>.");
    expectSameRules(reading.rules, AccessRules::loopbackOnly());

    QDir(folder.path()).rmdir(kSettingsFileName);
    const AccessRules lastRead = read("allow = 127.0.0.2\nmaxConnectionsPerAddress = 2\n").rules;
    file.spoil();
    reading = settingsFile.read(path());
    EXPECT_TRUE(reading.logLines[0].endsWith("; the rules it gave at an earlier pre-run stay."));
    expectSameRules(reading.rules, lastRead);
    QDir(folder.path()).rmdir(kSettingsFileName);
  }
}

TEST_F(SettingsFileTest, AFileFullOfErrorsGivesABoundedLogThatStillSaysWhoMayConnect) {
  QByteArray text;
  for (int i = 0; i < 500; ++i) text += "nonsense\n";
  const SettingsReading reading = read(text + "allow = 10.1.1.300\n");
  ASSERT_EQ(reading.logLines.size(), 23);
  EXPECT_EQ(reading.logLines[20], "<b>Warning</b> - NMBNetworkPlugin.ini: 481 more problems not listed.");
  EXPECT_TRUE(
      reading.logLines[21].startsWith("<b>Error</b> - NMBNetworkPlugin.ini line 501: allow names no"));
}

TEST(AccessRules, AnIpv4ClientOnTheDualStackListenerIsJudgedByItsIpv4Address) {
  AccessRules rules;
  rules.allow = {QHostAddress::parseSubnet("192.168.10.0/24")};
  EXPECT_TRUE(rules.allows(clientAddress(QHostAddress("::ffff:192.168.10.7"))));
  EXPECT_TRUE(rules.allows(QHostAddress("192.168.10.200")));
  EXPECT_FALSE(rules.allows(clientAddress(QHostAddress("::ffff:192.168.11.7"))));
  EXPECT_FALSE(rules.allows(QHostAddress("::1")));
  EXPECT_TRUE(AccessRules{}.allows(QHostAddress("203.0.113.9")));
}
