// ListenWatch: whether the plug-in actually listens on its port, so that the
// console tells one true story.
//
// The plug-in announces "Listening on" (its addresses, then its port) on the
// host's thread during the pre-run, right after starting its worker thread,
// which opens the port.  When that fails the worker writes a line starting
// with "<b>Error</b> - " that names the port, and when a later try succeeds it
// writes the "Listening on port" line again, from the worker's thread.  So the
// pre-run's announcement is only a claim: the console holds it back (Claim)
// until settle() has seen the listener (the process itself listens on the
// port) or the failure, and shows it only in the first case.
//
// observe() may be called from any thread; settle() from the host's.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

class ListenWatch {
 public:
  enum class Seen {
    Other,     // a line that does not concern the listener: show it
    Claim,     // a "Listening on" line of the host's thread while the listen is not confirmed: hold it back
    Failure,   // the plug-in cannot listen
    Recovery,  // it listens after a failure
  };
  enum class Outcome {
    Listening,  // the listener was seen
    Failing,    // the plug-in reported that it cannot listen
    Unknown,    // neither within the time allowed
  };

  // The port the plug-in was given at a pre-run; another port than before
  // has to be confirmed again.
  void expectPort(int port);

  // Looks at one log line; `fromHostThread` says which thread wrote it.
  Seen observe(const std::string& html, bool fromHostThread);

  // Waits up to `timeoutMs` until `listens()` (asked every few milliseconds)
  // confirms the listener or a failure line arrives.  `claims` receives the
  // held-back lines to show: all of them unless the listen failed.  After an
  // Unknown outcome later claims are shown without a wait.
  Outcome settle(const std::function<bool()>& listens, int timeoutMs, std::vector<std::string>& claims);

  // True when the newest listen report is a failure.
  bool failing() const;
  // True when a failure was reported and the plug-in never listened.
  bool neverListened() const;
  // The newest failure line, empty if none.
  std::string lastFailure() const;

 private:
  enum class State { Unconfirmed, Listening, Failing, Unknown };

  mutable std::mutex mutex_;
  State state_ = State::Unconfirmed;
  int port_ = -1;
  bool sawFailure_ = false;
  bool listened_ = false;
  std::vector<std::string> held_;
  std::string lastFailure_;
};
