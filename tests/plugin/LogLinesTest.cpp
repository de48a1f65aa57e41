#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QThread>
#include <QTime>

#include "plugin/LogLines.h"

TEST(LogLinesAddressList, OnlyLoopbackGivesThePlainLoopbackAddress) {
  EXPECT_EQ(loglines::addressList({QHostAddress("127.0.0.1"), QHostAddress("::1")}), "127.0.0.1");
  EXPECT_EQ(loglines::addressList({}), "127.0.0.1");
}

TEST(LogLinesAddressList, ReachableIpv4AddressesAreListedInOrderWithMarkup) {
  const QList<QHostAddress> addresses = {QHostAddress("192.168.1.20"), QHostAddress("127.0.0.1"),
                                         QHostAddress("fe80::1"), QHostAddress("0.0.0.0"),
                                         QHostAddress("10.0.0.5")};
  EXPECT_EQ(loglines::addressList(addresses), "<b>192.168.1.20</b>, <br><b>10.0.0.5</b>, <br>");
}

TEST(LogLinesExecutionTime, SecondsHaveAtMostSixSignificantDigits) {
  struct Case {
    qint64 ms;
    const char* text;
  };
  const Case cases[] = {{0, "0"},
                        {90, "0.09"},
                        {1000, "1"},
                        {1500, "1.5"},
                        {3723456, "3723.46"},
                        {123456789, "123457"},
                        {1234567890, "1.23457e+06"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ms);
    EXPECT_EQ(loglines::executionSeconds(c.ms), c.text);
  }
}

TEST(LogLinesTimes, TimeOfDayHasSecondsAndTheTimeStampMilliseconds) {
  EXPECT_TRUE(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d$").match(loglines::timeOfDay()).hasMatch());
  EXPECT_TRUE(
      QRegularExpression("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d$").match(loglines::timeStamp()).hasMatch());
}

TEST(LogLinesTimes, TheTimeStampIsTheLocalTimeOfDay) {
  // Against Qt's own local time, at a moment that is not about to change
  // its second.
  while (QTime::currentTime().msec() > 800) QThread::msleep(10);
  const QTime expected = QTime::currentTime();
  EXPECT_EQ(loglines::timeStamp().left(8), expected.toString("hh:mm:ss"));
}
