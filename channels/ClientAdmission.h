// ClientAdmission: the channel worker's door.  For each connection the
// listener accepted it decides, before any thread is started for it and
// before a byte of it is read, whether the access rules let it in.  A refused
// connection is closed at once and reported in the host's log: once per
// address and run for each reason, and for at most kMaxReportedAddresses
// addresses a run, so that no client can flood the log.
//
// Worker thread only.  The worker tells it the rules of each pre-run, and for
// the per-address cap counts the open connections of an address from its
// channel lists, each of which knows its client's address.
//
//   admission.setRules(rules);                                // each pre-run
//   if (!admission.admit(descriptor, openFrom, peer)) continue;  // closed
//   new QtTCPIPServer(owner, descriptor, peer, ...);
#pragma once

#include <QSet>
#include <QString>
#include <functional>

#include "channels/AccessRules.h"

class ClientAdmission {
 public:
  // Counts the connections from an address that are still open.
  using OpenCount = std::function<int(const QHostAddress& peer)>;

  static constexpr int kMaxReportedAddresses = 32;

  const AccessRules& rules() const { return rules_; }
  // The rules of a new pre-run; refusals are reported anew.
  void setRules(const AccessRules& rules);

  // Whether the connection `descriptor` may be served; `peer` receives its
  // client's address (null when the client is already gone).  A refused
  // connection is closed here.  `openFrom` is asked only under a
  // per-address cap.
  bool admit(qintptr descriptor, const OpenCount& openFrom, QHostAddress& peer);

 private:
  void report(const QHostAddress& peer, QSet<QHostAddress>& reported, const QString& line);

  AccessRules rules_;
  QSet<QHostAddress> reportedNotAllowed_, reportedOverCap_;
  bool reportedTooMany_ = false;
};
