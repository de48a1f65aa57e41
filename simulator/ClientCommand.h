// ClientCommand: a user's client program started by the simulator itself.
//
// The simulator and its plug-in run in a private network namespace, so a
// client has to run in the same one to reach 127.0.0.1; `--client CMD` starts
// CMD (through /bin/sh) once the plug-in serves, i.e. after the first
// pre-run.  Its standard streams are the simulator's.  The owner stops it
// when the simulator ends (SIGTERM, then SIGKILL after a grace period).
#pragma once

#include <sys/types.h>

#include <string>

class ClientCommand {
 public:
  explicit ClientCommand(std::string command) : command_(std::move(command)) {}
  ~ClientCommand() { stop(); }

  ClientCommand(const ClientCommand&) = delete;
  ClientCommand& operator=(const ClientCommand&) = delete;

  // Starts the command once; later calls do nothing.  False if it could not
  // be started.
  bool start();
  // True while the command runs.
  bool running();
  // Ends the command if it still runs; returns its exit status (-1 if it was
  // never started or had to be killed).
  int stop();

 private:
  std::string command_;
  pid_t pid_ = -1;
  int status_ = -1;
};
