#include "plugin/LogLines.h"

#include <QTime>

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

QString timeOfDay() { return QTime::currentTime().toString(); }

QString timeStamp() { return QTime::currentTime().toString(translation::plugin("hh:mm:ss.zzz")); }

}  // namespace loglines
