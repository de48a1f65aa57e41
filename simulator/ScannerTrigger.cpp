#include "simulator/ScannerTrigger.h"

#include <cstdio>

#include "simulator/Options.h"

ScannerTrigger::~ScannerTrigger() {
  simsys::closeTriggerTerminal(terminal_);
  simsys::closeLoopbackSender(sender_);
}

bool ScannerTrigger::open(const std::string& ttyLink, char byte, int udpPort, std::string& error) {
  byte_ = byte;
  if (!ttyLink.empty() && !simsys::openTriggerTerminal(ttyLink, terminal_, error)) return false;
  if (udpPort > 0) {
    sender_ = simsys::openLoopbackSender(error);
    if (sender_ < 0) {
      error = "--trigger-udp: " + error;
      return false;
    }
    port_ = udpPort;
    // ./dev run's door to the machine's network listens in the simulator's
    // network on this port and relays each trigger to udpPort there.
    long long copy = 0;
    if (parseLong(simsys::environmentVariable("NMB_SIM_TRIGGER_COPY_PORT"), 1, 65535, copy))
      copyPort_ = static_cast<int>(copy);
  }
  return true;
}

std::string ScannerTrigger::datagram(int run, int volume, double wallSeconds) {
  char text[96];
  std::snprintf(text, sizeof text, "Nimbrel Trigger: %d %d %.6f", run, volume, wallSeconds);
  return text;
}

void ScannerTrigger::send(int run, int volume) {
  // The byte first: it is what a trigger box sends, the datagram is the extra.
  simsys::writeTriggerTerminal(terminal_, byte_);
  if (sender_ < 0) return;
  const std::string text = datagram(run, volume, simsys::wallClockSeconds());
  simsys::sendLoopbackDatagram(sender_, port_, text);
  if (copyPort_ > 0) simsys::sendLoopbackDatagram(sender_, copyPort_, text);
}
