#include "nmbclient/WaitForHost.h"

#include <cstdio>
#include <thread>

#include "nmbclient/Errors.h"

namespace nmb::detail {

void connectWaiting(const std::string& host, std::uint16_t port, WaitForHost wait,
                    const std::function<void()>& attempt) {
  const auto deadline = std::chrono::steady_clock::now() + wait.duration;
  for (;;) {
    std::string lastTry;
    try {
      attempt();
      return;
    } catch (const ConnectionError& e) {
      if (wait.duration.count() <= 0) throw;
      lastTry = e.what();
    } catch (const TimeoutError& e) {
      if (wait.duration.count() <= 0) throw;
      lastTry = e.what();
    }
    if (std::chrono::steady_clock::now() + kWaitRetryInterval > deadline) {
      const double seconds = std::chrono::duration<double>(wait.duration).count();
      char waited[32];
      std::snprintf(waited, sizeof waited, "%.3g", seconds);
      throw ConnectionError("no host answered at " + host + ":" + std::to_string(port) + " within the " +
                            waited + " s waited (the last try: " + lastTry + ")");
    }
    std::this_thread::sleep_for(kWaitRetryInterval);
  }
}

}  // namespace nmb::detail
