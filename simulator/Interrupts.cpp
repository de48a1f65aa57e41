#include "simulator/Interrupts.h"

#include "simulator/platform/System.h"

namespace interrupts {
namespace {

std::atomic<bool> stopFlag{false};

}  // namespace

void start(std::function<void()> onFirst) {
  simsys::watchInterrupts([onFirst]() {
    stopFlag.store(true);
    if (onFirst) onFirst();
  });
}

bool requested() { return stopFlag.load(); }
void request() { stopFlag.store(true); }
const std::atomic<bool>& flag() { return stopFlag; }

}  // namespace interrupts
