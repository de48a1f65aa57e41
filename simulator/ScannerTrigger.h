// ScannerTrigger: the trigger box of the simulated scanner.
//
// At each volume's acquisition it sends one trigger on every way out it was
// given: one byte on a pseudo-terminal that a stimulus program opens as the
// trigger box's serial port, and one datagram "Nimbrel Trigger: RUN VOLUME
// SECONDS" to 127.0.0.1:PORT (run and volume counted from 1, SECONDS the wall
// clock, Unix time, with six decimals).  The host's pre-step for the volume
// follows the trigger by the processing delay (RunDriver).
//
// Used on the run driver's thread only.
#pragma once

#include <string>

#include "simulator/platform/System.h"

class ScannerTrigger {
 public:
  ScannerTrigger() = default;
  ~ScannerTrigger();
  ScannerTrigger(const ScannerTrigger&) = delete;
  ScannerTrigger& operator=(const ScannerTrigger&) = delete;

  // Opens the ways out: `ttyLink` empty for none, `udpPort` 0 for none.
  bool open(const std::string& ttyLink, char byte, int udpPort, std::string& error);
  bool active() const { return terminal_.writer >= 0 || sender_ >= 0; }
  bool hasTerminal() const { return terminal_.writer >= 0; }

  // One trigger for volume `volume` (from 1) of run `run` (from 1).
  void send(int run, int volume);
  // Whether the stimulus program sent something back on the tty within
  // `timeoutMs`.
  bool answered(int timeoutMs) { return simsys::triggerTerminalAnswered(terminal_, timeoutMs); }

  // The datagram of one trigger.
  static std::string datagram(int run, int volume, double wallSeconds);

 private:
  simsys::TriggerTerminal terminal_;
  char byte_ = '5';
  long long sender_ = -1;
  int port_ = 0;
  int copyPort_ = 0;  // ./dev run's door, 0: none
};
