// Placeholder until the request executor is written.
#include "plugin/TcpIpExport.h"

QByteArray TcpIpExport::executeRequest(QList<QVariant>) { return QByteArray(); }
