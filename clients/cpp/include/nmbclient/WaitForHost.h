// Waiting for a host that is not up yet, as a stimulus program started before
// Nimbrel (or nimbrel-sim) needs:
//
//   nmb::Client client("127.0.0.1", 55555, std::chrono::seconds(5),
//   nmb::WaitForHost{std::chrono::seconds(60)}); nmb::Subscription steps("127.0.0.1", 55555,
//   std::chrono::seconds(5), nmb::WaitForHost{std::chrono::seconds(60)});
//
// A connection that is refused, cannot be made or closes before the handshake
// answer is tried again every kWaitRetryInterval until the wait has passed;
// then a ConnectionError says how long it waited and what the last try met.
// The same rule as the Python client's wait= and the MATLAB classes' wait.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace nmb {

struct WaitForHost {
  std::chrono::milliseconds duration{0};  // 0: a single try
};

constexpr std::chrono::milliseconds kWaitRetryInterval{250};

namespace detail {

// Calls `attempt` (one connect and handshake) until it returns, trying again
// after a ConnectionError or TimeoutError while `wait` lasts.  Other errors
// (a handshake that answers wrongly) are thrown at once.
void connectWaiting(const std::string& host, std::uint16_t port, WaitForHost wait,
                    const std::function<void()>& attempt);

}  // namespace detail

}  // namespace nmb
