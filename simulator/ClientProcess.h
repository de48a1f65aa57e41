// The platform's side of ClientCommand: one running command and everything it
// started.  POSIX: /bin/sh -c CMD as leader of its own process group
// (ClientCommandPosix.cpp).  Windows: cmd.exe /c CMD in a process group and a
// job object of its own (ClientCommandWindows.cpp).
#pragma once

#include <memory>
#include <string>

#include "simulator/ClientCommand.h"

struct ClientCommand::Process {
  // Starts `command`; null if it could not be started.
  static std::unique_ptr<Process> start(const std::string& command);
  // A readable name for the signal `number` ("" where there are none).
  static std::string signalName(int number);

  virtual ~Process() = default;
  // Collects the command's end if it came (filling `outcome`, with
  // `askedToStop` telling a stop from an end of its own); true while it runs.
  virtual bool alive(Outcome& outcome) = 0;
  // True while anything the command started is left.
  virtual bool groupLeft() = 0;
  // Asks everything the command started to end (SIGTERM; Ctrl-Break).
  virtual void askToStop() = 0;
  // Ends everything the command started at once.
  virtual void kill() = 0;

  bool askedToStop = false;
};
