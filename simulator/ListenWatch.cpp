#include "simulator/ListenWatch.h"

#include <chrono>
#include <thread>

namespace {

// How often settle() looks for the listener.
constexpr int kSettlePollMs = 2;

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

void ListenWatch::expectPort(int port) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (port == port_) return;
  port_ = port;
  state_ = State::Unconfirmed;
  held_.clear();
}

ListenWatch::Seen ListenWatch::observe(const std::string& html, bool fromHostThread) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (startsWith(html, "<b>Error</b> - ") && html.find("port") != std::string::npos) {
    state_ = State::Failing;
    sawFailure_ = true;
    lastFailure_ = html;
    held_.clear();
    return Seen::Failure;
  }
  if (html.find("Listening on") == std::string::npos) return Seen::Other;
  if (!fromHostThread) {
    // Only a try after a failure is reported by the worker.
    if (state_ != State::Failing) return Seen::Other;
    state_ = State::Listening;
    listened_ = true;
    return Seen::Recovery;
  }
  if (state_ == State::Listening || state_ == State::Unknown) return Seen::Other;
  if (state_ == State::Unconfirmed) held_.push_back(html);
  return Seen::Claim;
}

ListenWatch::Outcome ListenWatch::settle(const std::function<bool()>& listens, int timeoutMs,
                                         std::vector<std::string>& claims) {
  claims.clear();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (state_ == State::Failing) return Outcome::Failing;
    }
    const bool confirmed = listens();
    const bool late = std::chrono::steady_clock::now() >= deadline;
    if (confirmed || late) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (state_ == State::Failing) return Outcome::Failing;
      claims.swap(held_);
      held_.clear();
      state_ = confirmed ? State::Listening : State::Unknown;
      listened_ = listened_ || confirmed;
      return confirmed ? Outcome::Listening : Outcome::Unknown;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kSettlePollMs));
  }
}

bool ListenWatch::failing() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_ == State::Failing;
}

bool ListenWatch::neverListened() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sawFailure_ && !listened_;
}

std::string ListenWatch::lastFailure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastFailure_;
}
