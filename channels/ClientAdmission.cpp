#include "channels/ClientAdmission.h"

#include "channels/ClientSocket.h"
#include "plugin/LogLines.h"

void ClientAdmission::setRules(const AccessRules& rules) {
  rules_ = rules;
  reportedNotAllowed_.clear();
  reportedOverCap_.clear();
  reportedTooMany_ = false;
}

bool ClientAdmission::admit(qintptr descriptor, const OpenCount& openFrom, QHostAddress& peer) {
  // Asked also while nothing is restricted: a cap switched on at a later
  // pre-run counts the connections admitted before it.
  peer = clientAddress(clientsocket::peerAddress(descriptor));
  if (!rules_.restrictsClients()) return true;
  // A client gone before it was looked at has nothing to be served: it is
  // closed like a refused one, without a report.
  if (peer.isNull()) {
    clientsocket::closeUnread(descriptor);
    return false;
  }
  if (!rules_.allows(peer)) {
    clientsocket::closeUnread(descriptor);
    report(peer, reportedNotAllowed_,
           QStringLiteral("<b>Warning</b> - Refused a client from %1: its address is not allowed in "
                          "NMBNetworkPlugin.ini. Later ones from it are not logged in this run.")
               .arg(peer.toString()));
    return false;
  }
  if (rules_.maxConnectionsPerAddress > 0 && openFrom(peer) >= rules_.maxConnectionsPerAddress) {
    clientsocket::closeUnread(descriptor);
    const int most = rules_.maxConnectionsPerAddress;
    report(peer, reportedOverCap_,
           QStringLiteral(
               "<b>Warning</b> - Refused a client from %1: it has %2 open, the most "
               "NMBNetworkPlugin.ini allows per address. Later ones from it are not logged in this run.")
               .arg(peer.toString(),
                    most == 1 ? QStringLiteral("1 connection") : QStringLiteral("%1 connections").arg(most)));
    return false;
  }
  return true;
}

void ClientAdmission::report(const QHostAddress& peer, QSet<QHostAddress>& reported, const QString& line) {
  if (reported.contains(peer)) return;
  if (reportedNotAllowed_.size() + reportedOverCap_.size() >= kMaxReportedAddresses) {
    if (!reportedTooMany_)
      loglines::write(
          QStringLiteral("<b>Warning</b> - Refused clients from more than %1 addresses; no further "
                         "refusals are logged in this run.")
              .arg(kMaxReportedAddresses));
    reportedTooMany_ = true;
    return;
  }
  reported.insert(peer);
  loglines::write(line);
}
