#include "channels/NotificationDelivery.h"

#include <chrono>

NotificationDelivery::NotificationDelivery(Deliver deliver) : deliver_(std::move(deliver)) {}

NotificationDelivery::~NotificationDelivery() { stop(); }

void NotificationDelivery::post(QByteArray block) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    queue_.push_back(std::move(block));
  }
  start();
  wake_.notify_one();
}

void NotificationDelivery::start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void NotificationDelivery::waitUntilDelivered() {
  std::unique_lock<std::mutex> lock(mutex_);
  delivered_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

void NotificationDelivery::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void NotificationDelivery::run() {
  bool pending = false;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const auto ready = [this] { return !queue_.empty() || stopping_; };
    if (pending) {
      wake_.wait_for(lock, std::chrono::milliseconds(kRetryMs), ready);
    } else {
      wake_.wait(lock, ready);
    }
    if (queue_.empty() && stopping_) return;
    QByteArray block;
    if (!queue_.empty()) {
      block = std::move(queue_.front());
      queue_.pop_front();
    }
    busy_ = true;
    lock.unlock();
    pending = deliver_(block);
    lock.lock();
    busy_ = false;
    if (queue_.empty()) delivered_.notify_all();
  }
}
