// SimProcess: runs nimbrel-sim as a child process for end-to-end tests.
//
// Standard output and error go to files in the test's temporary folder, and
// standard input is /dev/null, so the simulator sees no terminal.  The
// destructor kills a child that is still running.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/FreePort.h"

class SimProcess {
 public:
  explicit SimProcess(const std::vector<std::string>& args);
  ~SimProcess();

  // Waits up to `timeoutMs` for the exit.  Returns the exit status, or -1 on
  // time-out, or 128 + signal when the child died of a signal.
  int wait(int timeoutMs);
  void signal(int number);
  bool running();

  std::string out() const;
  std::string err() const;

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string outPath_, errPath_;
};

