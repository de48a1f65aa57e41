#include "simulator/StartGate.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "simulator/Console.h"
#include "simulator/ScannerTrigger.h"
#include "simulator/platform/System.h"

namespace {

constexpr int kPollMs = 10;

long long nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

StartGate::StartGate(const std::string& startOn, Console& console, ScannerTrigger& trigger,
                     std::function<int()> port, const std::atomic<bool>& stop)
    : startOn_(startOn), console_(console), trigger_(trigger), port_(std::move(port)), stop_(stop) {
  if (startOn_.rfind("clients=", 0) == 0) clients_ = std::atoi(startOn_.c_str() + 8);
}

bool StartGate::wait(int run) {
  const std::string which = "run " + std::to_string(run);
  if (startOn_ == "enter") {
    console_.notice(which + " waits: press Enter to start it");
    return waitForEnter();
  }
  if (clients_ > 0) {
    console_.notice(which + " waits for " + std::to_string(clients_) + " execute client" +
                    (clients_ == 1 ? "" : "s") + " on port " + std::to_string(port_()));
    return waitForClients();
  }
  if (startOn_ == "trigger-ack") {
    console_.notice(which + " waits for a byte back on the trigger tty");
    return waitForAnswer();
  }
  return true;
}

bool StartGate::waitForEnter() {
  for (;;) {
    if (stop_.load()) return false;
    const simsys::InputWait ready = simsys::waitForInput(100);
    if (ready == simsys::InputWait::TimedOut) continue;
    char c = 0;
    if (ready == simsys::InputWait::Ended || !simsys::readInputByte(c)) {
      console_.notice("standard input has ended: starting without Enter");
      return true;
    }
    if (c == '\n') return true;
  }
}

bool StartGate::waitForClients() {
  const int port = port_();
  long long heldSince = -1;
  int shown = -1;
  for (;;) {
    if (stop_.load()) return false;
    const int count = simsys::countAnnouncedConnections(port);
    if (count < 0) {
      console_.notice("cannot count this host's connections here: starting now");
      return true;
    }
    if (count != shown && count < clients_) {
      console_.notice(std::to_string(count) + " of " + std::to_string(clients_) +
                      " execute clients subscribed");
      shown = count;
    }
    if (count >= clients_) {
      if (heldSince < 0) heldSince = nowMs();
      if (nowMs() - heldSince >= kSettleMs) {
        console_.notice(std::to_string(count) + " execute client" + (count == 1 ? "" : "s") +
                        " subscribed: starting");
        return true;
      }
    } else {
      heldSince = -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
}

bool StartGate::waitForAnswer() {
  for (;;) {
    if (stop_.load()) return false;
    if (trigger_.answered(100)) return true;
  }
}
