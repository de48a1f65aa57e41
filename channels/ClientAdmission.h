// ClientAdmission: the channel worker's door.  For each connection the
// listener accepted it decides, before any thread is started for it and
// before a byte of it is read, whether the access rules let it in.  A refused
// connection is closed at once and reported in the host's log: once per
// address and run for each reason, and for at most kMaxReportedAddresses
// addresses a run, so that no client can flood the log.
//
// Worker thread only.  The worker tells it the rules of each pre-run and, for
// the per-address cap, which channel serves each connection it let in, and
// counts the open connections of an address from its channel lists.
//
//   admission.setRules(rules);                          // each pre-run
//   if (!admission.admit(descriptor, openFrom)) continue;  // closed
//   admission.track(new QtTCPIPServer(...));
#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <functional>

#include "channels/AccessRules.h"

class QtTCPIPServer;

class ClientAdmission {
 public:
  // Where a channel's client connected from.
  struct Origin {
    QHostAddress peer;
    qintptr descriptor = -1;
  };

  // Counts the connections from an address that are still open.
  using OpenCount = std::function<int(const QHostAddress& peer)>;

  static constexpr int kMaxReportedAddresses = 32;

  const AccessRules& rules() const { return rules_; }
  // The rules of a new pre-run; refusals are reported anew.
  void setRules(const AccessRules& rules);

  // Whether the connection `descriptor` may be served.  A refused one is
  // closed here.  `openFrom` is asked only under a per-address cap.
  bool admit(qintptr descriptor, const OpenCount& openFrom);
  // Records that `channel` serves the connection admit() let in last.  Only
  // needed under a per-address cap.
  void track(QtTCPIPServer* channel);
  // The origin of a tracked channel, or null.
  const Origin* originOf(QtTCPIPServer* channel) const;
  // Whether the client of `origin` is still connected, asked of the
  // descriptor alone: for channels whose connection no thread watches.
  static bool isStillConnected(const Origin& origin);
  // Forgets the channels not in `live`: they have been released.
  void forgetAllBut(const QSet<QtTCPIPServer*>& live);

 private:
  void report(const QHostAddress& peer, QSet<QHostAddress>& reported, const QString& line);

  AccessRules rules_;
  Origin admitted_;
  QHash<QtTCPIPServer*, Origin> origins_;
  QSet<QHostAddress> reportedNotAllowed_, reportedOverCap_;
  bool reportedTooMany_ = false;
};
