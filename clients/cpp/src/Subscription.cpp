#include "nmbclient/Subscription.h"

#include "nmbclient/Errors.h"
#include "nmbclient/Replies.h"
#include "nmbclient/Wire.h"
#include "protocol/ProtocolTexts.h"

namespace nmb {

bool Notification::isPreStep() const { return name == texts::kPreStepCalled; }
bool Notification::isPostStep() const { return name == texts::kPostStepCalled; }
bool Notification::isPostRun() const { return name == texts::kPostRunCalled; }

Subscription::Subscription(std::string host, std::uint16_t port, std::chrono::milliseconds timeout,
                           WaitForHost wait)
    : host_(std::move(host)), port_(port), connectTimeout_(timeout), wait_(wait) {
  reconnect();
}

void Subscription::reconnect() {
  detail::connectWaiting(host_, port_, wait_, [this] { connectOnce(); });
}

void Subscription::connectOnce() {
  close();
  lastPreStep_ = lastPostStep_ = -1;
  lastWasPostRun_ = ended_ = false;
  const net::Deadline until = net::Clock::now() + connectTimeout_;
  stream_ = net::TcpStream::connect(host_, port_, until);
  try {
    std::vector<std::uint8_t> role;
    wire::appendTextFrame(role, texts::kExecuteRole);
    Frame frame;
    try {
      stream_.sendAll(role.data(), role.size(), until);
      frame = reader_.next(stream_, until);
    } catch (const ConnectionError& e) {
      throw closedBeforeHandshake(host_, port_, e);
    }
    replies::decodeHandshake(frame.body, frame.size, texts::kExecuteRole);
  } catch (...) {
    close();
    throw;
  }
}

std::optional<Notification> Subscription::next(std::chrono::milliseconds timeout) {
  if (ended_) return std::nullopt;
  if (!stream_.isOpen()) throw ConnectionError("execute connection is closed (call reconnect())");
  Frame frame;
  try {
    frame =
        reader_.next(stream_, net::Clock::now() + timeout, true);  // notifications come seldom: wait first
  } catch (const TimeoutError&) {
    return std::nullopt;
  } catch (const ConnectionError&) {
    close();
    if (lastWasPostRun_) {
      ended_ = true;
      return std::nullopt;
    }
    throw;
  } catch (...) {
    close();
    throw;
  }
  NotificationBody body;
  try {
    body = replies::decodeNotification(frame.body, frame.size);
  } catch (...) {
    close();
    throw;
  }
  Notification n{std::move(body.name), body.timePoint, frame.received};
  lastWasPostRun_ = n.isPostRun();
  std::int32_t* last = n.isPreStep() ? &lastPreStep_ : n.isPostStep() ? &lastPostStep_ : nullptr;
  if (n.isPostRun()) lastPreStep_ = lastPostStep_ = -1;
  if (last != nullptr) {
    if (*last >= 0 && n.timePoint > *last + 1) n.skipped = n.timePoint - *last - 1;
    n.repeated = *last >= 0 && n.timePoint == *last;
    *last = n.timePoint;
  }
  if (ledger_ != nullptr) {
    if (n.isPostStep())
      ledger_->stamp(n.timePoint, Ledger::PostStep, n.received);
    else if (n.isPreStep())
      ledger_->stamp(n.timePoint, Ledger::PreStep, n.received);
  }
  return n;
}

std::optional<Notification> Subscription::waitForPostStep(std::chrono::milliseconds timeout) {
  const net::Deadline until = net::Clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - net::Clock::now());
    std::optional<Notification> n = next(left.count() > 0 ? left : std::chrono::milliseconds(0));
    if (!n || n->isPostStep()) return n;
  }
}

}  // namespace nmb
