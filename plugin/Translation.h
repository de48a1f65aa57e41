// The plug-in's texts pass through Qt's translation function in the context of
// the class that sends or shows them, "TcpIpExport" or "QtTCPIPServer", as the
// classes' own tr() would, so that a translation could hook in: notification
// names, the role name compared in the handshake, the error texts of replies
// and the markup of the log lines.  The plug-in installs no translation, and
// without one every call returns the text unchanged.  QCoreApplication's
// translate() is a static function: it needs no application object.
//
//   notify(translation::plugin(texts::kPreStepCalled), timePoint);
#pragma once

#include <QCoreApplication>
#include <QString>

namespace translation {

// `text` as TcpIpExport::tr(text) gives it.
inline QString plugin(const char* text) { return QCoreApplication::translate("TcpIpExport", text); }

// `text` as QtTCPIPServer::tr(text) gives it.
inline QString channel(const char* text) { return QCoreApplication::translate("QtTCPIPServer", text); }

}  // namespace translation
