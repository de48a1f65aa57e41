// Console: the user's side of the simulated Nimbrel on the terminal.
//
// Log lines go to stdout (rendered, or verbatim with raw), message boxes and
// the simulator's own notices to stderr.  On a terminal a progress line at the
// bottom shows the run, the volume and the time left; log output is written
// above it.  Any thread may call any member: one mutex orders the output.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

class Console {
 public:
  // `raw`: print log lines verbatim, one per line.  Terminal detection is done
  // here (isatty) unless `forceTerminal` says otherwise (tests).
  explicit Console(bool raw, int forceTerminal = -1);

  void logLine(const std::string& html);
  void messageBox(const std::string& text);
  void notice(const std::string& text);
  // A notice that must not be missed: framed by blank lines, bold red on a
  // terminal.
  void alert(const std::string& text);

  // Updates the progress line (terminal only).
  void progress(int run, int runs, int volume, int volumes, long long millisecondsLeft);
  // Removes the progress line.
  void endProgress();

  // Asks the user on the terminal for an integer between min and max, showing
  // the prompt and the default; an empty answer takes the default.  Returns
  // `cancelValue` when the user types "cancel", input ends (Ctrl-D) or `stop`
  // becomes true (Ctrl-C) while waiting.
  int askInteger(const std::string& prompt, int defaultValue, int minValue, int maxValue, int cancelValue,
                 const std::atomic<bool>& stop);

  bool terminal() const { return terminal_; }
  bool inputTerminal() const { return inputTerminal_; }

 private:
  void clearProgressLocked();
  void drawProgressLocked();

  std::mutex mutex_;
  bool raw_;
  bool terminal_;
  bool inputTerminal_;
  std::string progress_;
  bool progressShown_ = false;
};
