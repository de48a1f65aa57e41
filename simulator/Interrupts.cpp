#include "simulator/Interrupts.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace interrupts {
namespace {

std::atomic<bool> stopFlag{false};

}  // namespace

void start(std::function<void()> onFirst) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set, onFirst]() {
    for (;;) {
      int signal = 0;
      if (sigwait(&set, &signal) != 0) continue;
      if (stopFlag.exchange(true)) std::_Exit(130);
      if (onFirst) onFirst();
    }
  }).detach();
}

bool requested() { return stopFlag.load(); }
void request() { stopFlag.store(true); }
const std::atomic<bool>& flag() { return stopFlag; }

}  // namespace interrupts
