#include "channels/ClientAdmission.h"

#include "channels/ClientSocket.h"
#include "plugin/LogLines.h"

void ClientAdmission::setRules(const AccessRules& rules) {
  rules_ = rules;
  reportedNotAllowed_.clear();
  reportedOverCap_.clear();
  reportedTooMany_ = false;
}

bool ClientAdmission::admit(qintptr descriptor, const OpenCount& openFrom) {
  admitted_ = Origin{};
  // The system hands out only a descriptor that was closed: a channel that
  // had this one has lost its connection, and must not be counted by
  // whoever holds the descriptor now.
  for (Origin& origin : origins_)
    if (origin.descriptor == descriptor) origin.descriptor = -1;
  if (!rules_.restrictsClients()) return true;
  // A client gone before it was looked at has nothing to be served: it is
  // closed like a refused one, without a report.
  const QHostAddress peer = clientAddress(clientsocket::peerAddress(descriptor));
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
  admitted_ = Origin{peer, descriptor};
  return true;
}

void ClientAdmission::track(QtTCPIPServer* channel) {
  // A channel at the address of one released earlier replaces its entry.
  if (rules_.maxConnectionsPerAddress > 0 && !admitted_.peer.isNull()) origins_.insert(channel, admitted_);
}

const ClientAdmission::Origin* ClientAdmission::originOf(QtTCPIPServer* channel) const {
  const auto found = origins_.constFind(channel);
  return found == origins_.constEnd() ? nullptr : &found.value();
}

bool ClientAdmission::isStillConnected(const Origin& origin) {
  return origin.descriptor >= 0 &&
         clientAddress(clientsocket::peerAddress(origin.descriptor)) == origin.peer &&
         clientsocket::isPeerPresent(origin.descriptor);
}

void ClientAdmission::forgetAllBut(const QSet<QtTCPIPServer*>& live) {
  for (auto it = origins_.begin(); it != origins_.end();) {
    if (live.contains(it.key()))
      ++it;
    else
      it = origins_.erase(it);
  }
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
