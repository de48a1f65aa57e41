#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

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
  SettingsReading read(const QByteArray& text) {
    QFile file(path());
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
    file.close();
    return readSettingsFile(path(), labInterface);
  }
  QTemporaryDir folder;
};

void expectSameRules(const AccessRules& actual, const AccessRules& expected) {
  EXPECT_EQ(actual.allow, expected.allow);
  EXPECT_EQ(actual.listen, expected.listen);
  EXPECT_EQ(actual.maxConnectionsPerAddress, expected.maxConnectionsPerAddress);
  EXPECT_EQ(actual.broadcastTo, expected.broadcastTo);
}

}  // namespace

TEST_F(SettingsFileTest, NoFileMeansTheServiceAsItIsAndNothingLogged) {
  const SettingsReading reading = readSettingsFile(path(), labInterface);
  EXPECT_TRUE(reading.logLines.isEmpty());
  expectSameRules(reading.rules, AccessRules{});
  EXPECT_FALSE(reading.rules.restrictsClients());
}

TEST_F(SettingsFileTest, EverySettingIsReadAndTheRulesInForceAreLoggedInOneLine) {
  const SettingsReading reading = read(
      "\xEF\xBB\xBF; written by Notepad, with its byte order mark\r\n"
      "# the stimulus PC, this computer and the lab network\r\n"
      "ALLOW = 127.0.0.1, 192.168.10.7/24 ::1, fe80::/10\r\n"
      "[General]\r\n"
      "listen=192.168.10.2\r\n"
      "maxConnectionsPerAddress = 4 ; one program's connections and a few more\r\n"
      "broadcast = 192.168.10.2\r\n");
  const QVector<Subnet> allow = {{QHostAddress("127.0.0.1"), 32},
                                 {QHostAddress("192.168.10.0"), 24},
                                 {QHostAddress("::1"), 128},
                                 {QHostAddress("fe80::"), 10}};
  EXPECT_EQ(reading.rules.allow, allow);
  EXPECT_EQ(reading.rules.listen, QHostAddress("192.168.10.2"));
  EXPECT_EQ(reading.rules.maxConnectionsPerAddress, 4);
  EXPECT_EQ(reading.rules.broadcastTo, QHostAddress("192.168.10.255"));
  ASSERT_EQ(reading.logLines.size(), 1) << reading.logLines.join('\n').toStdString();
  EXPECT_EQ(reading.logLines[0],
            "<b>Info</b> - Client rules from " + QDir::toNativeSeparators(path()) +
                ": allow <b>127.0.0.1, 192.168.10.0/24, ::1, fe80::/10</b>; listen on <b>192.168.10.2</b>; "
                "at most <b>4</b> connections per address; broadcast to <b>192.168.10.255</b>.");

  const SettingsReading off = read("broadcast = OFF\n");
  EXPECT_TRUE(off.rules.broadcastTo.isNull());
  EXPECT_TRUE(
      off.logLines.last().endsWith("allow <b>every address</b>; listen on <b>every address</b>; any "
                                   "number of connections per address; broadcast <b>off</b>."));
}

TEST_F(SettingsFileTest, EachBadSettingGivesOneLineAndFallsBackAloneWhileTheOthersApply) {
  struct Case {
    const char* good;  // line 1, which must still apply
    const char* bad;   // from line 2
    int line;
    const char* says;
  };
  const Case cases[] = {
      {"listen = 127.0.0.1", "this is no setting", 2,
       "\"this is no setting\" is not a setting (key = value)"},
      {"listen = 127.0.0.1", "[General", 2, "\"[General\" is a section header without \"]\""},
      {"listen = 127.0.0.1", "= 5", 2, "\"= 5\" names no setting"},
      {"listen = 127.0.0.1", "alow = 127.0.0.2", 2, "unknown setting \"alow\", ignored"},
      {"listen = 127.0.0.1", "[Lab]\nallow = 127.0.0.2", 3, "unknown setting \"Lab/allow\", ignored"},
      {"listen = 127.0.0.1", "allow = 127.0.0.2, 10.0.0/33", 2,
       "allow: \"10.0.0/33\" is not an address or a network such as 192.168.10.0/24; clients from every "
       "address are served"},
      {"listen = 127.0.0.1", "allow = 10", 2, "allow: \"10\" is not an address"},
      {"listen = 127.0.0.1", "allow = 127.0.0.2/40", 2, "allow: \"127.0.0.2/40\" is not an address"},
      {"listen = 127.0.0.1", "allow =", 2, "allow lists no address; clients from every address are served"},
      {"broadcast = off", "listen = everywhere", 2,
       "listen: \"everywhere\" is not an address; the plug-in listens on every address"},
      {"listen = 127.0.0.1", "maxConnectionsPerAddress = 4x", 2,
       "maxConnectionsPerAddress: \"4x\" is not a whole number from 1 to 10000; any number of connections "
       "per address is served"},
      {"listen = 127.0.0.1", "maxConnectionsPerAddress = 0", 2,
       "\"0\" is not a whole number from 1 to 10000"},
      {"listen = 127.0.0.1", "broadcast = sometimes", 2,
       "broadcast: \"sometimes\" is neither on, off nor the address of an interface; the broadcast goes to "
       "255.255.255.255"},
      {"listen = 127.0.0.1", "broadcast = 10.9.9.9", 2,
       "broadcast: 10.9.9.9 is not the address of an interface of this computer that has a broadcast "
       "address"},
      {"listen = 127.0.0.1", "allow = <script>", 2, "allow: \"&lt;script&gt;\" is not an address"},
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

TEST_F(SettingsFileTest, ASettingGivenTwiceIsReportedAndTheLastOneApplies) {
  const SettingsReading reading = read("allow = 127.0.0.2\nlisten = 127.0.0.1\nAllow = 127.0.0.3\n");
  ASSERT_EQ(reading.logLines.size(), 2);
  EXPECT_EQ(
      reading.logLines[0],
      "<b>Warning</b> - NMBNetworkPlugin.ini line 3: allow is set more than once (first on line 1); the last "
      "one applies.");
  EXPECT_EQ(reading.rules.allow, QVector<Subnet>({{QHostAddress("127.0.0.3"), 32}}));
}

TEST_F(SettingsFileTest, AFileThatCannotBeReadCountsAsMissingWithOneLine) {
  ASSERT_TRUE(QDir(folder.path()).mkdir(kSettingsFileName));
  SettingsReading reading = readSettingsFile(path(), labInterface);
  ASSERT_EQ(reading.logLines.size(), 1);
  EXPECT_TRUE(reading.logLines[0].startsWith("<b>Warning</b> - Cannot read "))
      << reading.logLines[0].toStdString();
  expectSameRules(reading.rules, AccessRules{});
  ASSERT_TRUE(QDir(folder.path()).rmdir(kSettingsFileName));

  reading = read("allow = 127.0.0.2\n" + QByteArray(300 * 1024, ';'));
  ASSERT_EQ(reading.logLines.size(), 1);
  EXPECT_TRUE(
      reading.logLines[0].contains("(larger than 256 KiB); the plug-in serves as it does without it."));
  expectSameRules(reading.rules, AccessRules{});
}

TEST_F(SettingsFileTest, AFileFullOfErrorsGivesABoundedLog) {
  QByteArray text;
  for (int i = 0; i < 500; ++i) text += "nonsense\n";
  const SettingsReading reading = read(text);
  ASSERT_EQ(reading.logLines.size(), 22);
  EXPECT_EQ(reading.logLines[20], "<b>Warning</b> - NMBNetworkPlugin.ini: 480 more problems not listed.");
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
