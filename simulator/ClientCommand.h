// ClientCommand: a user's client program started by the simulator itself.
//
// The simulator and its plug-in may run in a private network namespace, and a
// client started by the simulator shares it, so it reaches the plug-in on
// 127.0.0.1.  `--client CMD` starts CMD through the system's shell once the
// plug-in serves, i.e. after the first pre-run, in a process group of its own
// so that everything the command starts can be stopped with it.  Its standard
// streams are the simulator's, and its environment too, with the source
// tree's Python client package put first on PYTHONPATH (provideClientPackage)
// so that "python3 my_feedback.py" imports nmbclient without installing it.
//
// All members are called on one thread (the simulator's main thread).
#pragma once

#include <memory>
#include <string>

class ClientCommand {
 public:
  // How the command ended.
  struct Outcome {
    enum class Kind {
      NotStarted,  // never started (no command, or it could not be started)
      Running,     // still running
      Exited,      // ended by itself with `code`
      Signalled,   // ended by itself on signal `code`
      Stopped,     // asked to stop after the grace period, and did
      Killed,      // did not stop when asked and was killed
    };
    Kind kind = Kind::NotStarted;
    int code = 0;
  };

  explicit ClientCommand(std::string command);
  // Finishes a command that still runs, without a grace period.
  ~ClientCommand();

  ClientCommand(const ClientCommand&) = delete;
  ClientCommand& operator=(const ClientCommand&) = delete;

  // Starts the command once; later calls do nothing.  False if it could not
  // be started.
  bool start();
  // True while the command runs.
  bool running();
  // Gives a running command `graceMs` to end by itself, then asks its whole
  // process group to stop, and kills what is left after a short while.
  // Whatever the command left behind in its group is stopped too.
  Outcome finish(int graceMs);
  Outcome outcome() const { return outcome_; }

  // One line for the user, e.g. "ended by itself with status 0".
  static std::string describe(const Outcome& outcome);
  // True when the command failed: it could not be started, ended with a
  // status other than 0 or on a signal of its own.  A command stopped after
  // the grace period did not fail: the simulator ended it.
  static bool failed(const Outcome& outcome);

  // Puts the Python client package of the source tree the simulator was built
  // from first on PYTHONPATH, for the command to inherit; nothing when that
  // folder is gone.  Changes the process's environment: call before any
  // other thread exists.
  static void provideClientPackage();

  // The platform's handle of the running command (ClientProcess.h).
  struct Process;

 private:
  std::string command_;
  std::unique_ptr<Process> process_;
  Outcome outcome_;
};
