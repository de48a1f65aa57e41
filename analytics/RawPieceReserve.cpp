#include "analytics/RawPieceReserve.h"

#include <cstdlib>

#include "analytics/RawVolumeRecord.h"
#include "plugin/platform/ThreadPriority.h"

namespace {
// The smallest page any of the plug-in's systems uses.
constexpr size_t kPageBytes = 4096;
}  // namespace

RawPieceReserve::RawPieceReserve(size_t pieceSamples, int depth) : pieceSamples_(pieceSamples), depth_(depth) {}

RawPieceReserve::~RawPieceReserve() {
  {
    MutexLock lock(&mutex_);
    stopping_ = true;
  }
  wanted_.notifyOne();
  if (thread_.joinable()) thread_.join();
  MutexLock lock(&mutex_);
  for (qint16* piece : ready_) std::free(piece);
}

void RawPieceReserve::start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { fill(); });
}

qint16* RawPieceReserve::take() {
  qint16* piece = nullptr;
  {
    MutexLock lock(&mutex_);
    if (ready_.empty()) return nullptr;
    piece = ready_.back();
    ready_.pop_back();
  }
  wanted_.notifyOne();
  return piece;
}

void RawPieceReserve::fill() {
  // Woken by the host's take(), it must not take the CPU from the host.
  platform::lowerCurrentThreadPriority();
  for (;;) {
    {
      MutexLock lock(&mutex_);
      while (!stopping_ && int(ready_.size()) >= depth_) wanted_.wait(mutex_, -1);
      if (stopping_) return;
    }
    qint16* piece = RawVolumeRecord::allocateZeroed(pieceSamples_);
    // Out of memory: the record finds the reserve empty and tries itself.
    if (piece == nullptr) return;
    // Writing a zero where the system's fresh page already holds one makes it
    // resident without changing it.
    volatile char* bytes = reinterpret_cast<char*>(piece);
    for (size_t at = 0; at < pieceSamples_ * sizeof(qint16); at += kPageBytes) bytes[at] = 0;
    MutexLock lock(&mutex_);
    ready_.push_back(piece);
  }
}
