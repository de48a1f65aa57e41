// ListenWatch: whether the plug-in actually listens on its port, read from
// its log lines.
//
// The plug-in announces "Listening on port" on the host's thread during the
// pre-run, before its worker thread has tried to open the port.  When the try
// fails the worker writes a line starting with "<b>Error</b> - " that names
// the port, and when a later try succeeds it writes the "Listening on port"
// line again, from the worker's thread.  So a failure counts until a
// "Listening on port" line arrives from a thread other than the host's.
//
// observe() may be called from any thread.
#pragma once

#include <mutex>
#include <string>

class ListenWatch {
 public:
  enum class Seen {
    Other,     // a line that does not concern the listener
    Failure,   // the plug-in cannot listen
    Recovery,  // it listens after a failure
  };

  // Looks at one log line; `fromHostThread` says which thread wrote it.
  Seen observe(const std::string& html, bool fromHostThread);

  // True when the newest listen report is a failure.
  bool failing() const;
  // True when a failure was reported and no later try ever succeeded.
  bool neverListened() const;
  // The newest failure line, empty if none.
  std::string lastFailure() const;

 private:
  mutable std::mutex mutex_;
  bool failing_ = false;
  bool recovered_ = false;
  std::string lastFailure_;
};
