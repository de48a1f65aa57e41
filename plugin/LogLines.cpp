#include "plugin/LogLines.h"

#include <QDateTime>
#include <QTime>
#include <atomic>
#include <cstdio>
#include <limits>

#include "plugin/HostFunctions.h"
#include "plugin/Translation.h"

namespace loglines {

void write(const QString& line) {
  if (hostFunctions.tLogText != nullptr) hostFunctions.tLogText(line.toLatin1().constData());
}

QString addressList(const QList<QHostAddress>& addresses) {
  QString list;
  for (const QHostAddress& address : addresses) {
    if (address == QHostAddress(QHostAddress::LocalHost) || address.toIPv4Address() == 0) continue;
    list += translation::plugin("<b>") + address.toString() + translation::plugin("</b>") +
            translation::plugin(", <br>");
  }
  if (list.isEmpty()) list = QHostAddress(QHostAddress::LocalHost).toString();
  return list;
}

QString executionSeconds(qint64 elapsedMs) {
  const float seconds = static_cast<float>(elapsedMs) / 1000.0f;
  return QString::number(static_cast<double>(seconds), 'g', 6);
}

namespace {

// The local time of day, read from the system clock and a remembered offset
// from UTC.  Asking for local time directly (QTime::currentTime) makes glibc
// look at /etc/localtime on every call when TZ is unset, a file-system call of
// several microseconds, and every step logs such a time just before it
// notifies the clients.  Offsets change only on whole minutes, so the offset
// of the current UTC minute is exact; it is asked for once a minute.
QTime currentLocalTime() {
  static std::atomic<qint64> offsetMinute{std::numeric_limits<qint64>::min()};
  static std::atomic<qint64> offsetMs{0};
  constexpr qint64 kMinuteMs = 60 * 1000;
  constexpr qint64 kDayMs = 24 * 60 * kMinuteMs;
  const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
  const qint64 minute = nowMs / kMinuteMs;
  if (offsetMinute.load(std::memory_order_acquire) != minute) {
    offsetMs.store(qint64(QDateTime::fromMSecsSinceEpoch(nowMs).offsetFromUtc()) * 1000,
                   std::memory_order_relaxed);
    offsetMinute.store(minute, std::memory_order_release);
  }
  const qint64 ofDay = ((nowMs + offsetMs.load(std::memory_order_relaxed)) % kDayMs + kDayMs) % kDayMs;
  return QTime::fromMSecsSinceStartOfDay(int(ofDay));
}

// "hh:mm:ss.zzz" of the current time into `out`, which has room for 13 bytes.
void formatTimeStamp(char* out) {
  const QTime now = currentLocalTime();
  std::snprintf(out, 13, "%02d:%02d:%02d.%03d", now.hour(), now.minute(), now.second(), now.msec());
}

}  // namespace

QString timeOfDay() { return currentLocalTime().toString(); }

QString timeStamp() {
  char stamp[13];
  formatTimeStamp(stamp);
  return QString::fromLatin1(stamp);
}

void writeStepLine(const char* text) {
  if (hostFunctions.tLogText == nullptr) return;
  char stamp[13];
  formatTimeStamp(stamp);
  char line[256];
  std::snprintf(line, sizeof line, "<b>%s</b>: %s", stamp, text);
  hostFunctions.tLogText(line);
}

}  // namespace loglines
