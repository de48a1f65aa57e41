#include "channels/NotificationDelivery.h"

#include <chrono>

NotificationDelivery::NotificationDelivery(Deliver deliver) : deliver_(std::move(deliver)) {}

NotificationDelivery::~NotificationDelivery() { stop(); }

void NotificationDelivery::post(QByteArray block) {
  {
    MutexLock lock(&mutex_);
    if (stopping_) return;
    queue_.push_back(std::move(block));
  }
  start();
  wake_.notify_one();
}

void NotificationDelivery::start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void NotificationDelivery::stop() {
  {
    MutexLock lock(&mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void NotificationDelivery::run() {
  bool pending = false;
  MutexLock lock(&mutex_);
  // The condition variable gives the lock back while it waits and holds it
  // again when it calls the predicate.
  const auto ready = [this] {
    mutex_.assertHeld();
    return !queue_.empty() || stopping_;
  };
  for (;;) {
    if (pending) {
      wake_.wait_for(mutex_, std::chrono::milliseconds(kRetryMs), ready);
    } else {
      wake_.wait(mutex_, ready);
    }
    if (queue_.empty() && stopping_) return;
    QByteArray block;
    if (!queue_.empty()) {
      block = std::move(queue_.front());
      queue_.pop_front();
    }
    mutex_.unlock();
    pending = deliver_(block);
    mutex_.lock();
  }
}
