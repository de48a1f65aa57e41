// StartGate: holds each run back, after its pre-run, until the lab is ready
// (--start-on): the operator presses Enter, N execute clients are subscribed,
// or the stimulus program sends a byte back on the trigger tty.
//
// Execute clients are counted from the simulator's own view of the plug-in's
// sockets (simsys::countAnnouncedConnections): a connection whose client has
// sent its role message and nothing since, once the handshake has been
// answered.  The count must hold for kSettleMs, the time the plug-in's worker
// takes to file a channel whose handshake it has answered; a request client
// that has not asked anything yet would count too, so the count is of the
// connections that can only be execute ones once they hold.
#pragma once

#include <atomic>
#include <functional>
#include <string>

class Console;
class ScannerTrigger;

class StartGate {
 public:
  static constexpr int kSettleMs = 100;

  // `startOn` as checked by parseOptions ("" lets every run start at once).
  // `port()` is the port the plug-in serves, known after the first pre-run.
  StartGate(const std::string& startOn, Console& console, ScannerTrigger& trigger, std::function<int()> port,
            const std::atomic<bool>& stop);

  // Waits until run `run` (from 1) may start; false on an interrupt.
  bool wait(int run);

 private:
  bool waitForEnter();
  bool waitForClients();
  bool waitForAnswer();

  std::string startOn_;
  int clients_ = 0;
  Console& console_;
  ScannerTrigger& trigger_;
  std::function<int()> port_;
  const std::atomic<bool>& stop_;
};
