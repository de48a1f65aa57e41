#include "analytics/RawPieceReserve.h"

#include <cstdlib>

#include "analytics/RawVolumeRecord.h"
#include "plugin/platform/ThreadPriority.h"

namespace {
// The smallest page any of the plug-in's systems uses.
constexpr size_t kPageBytes = 4096;
}  // namespace

RawPieceReserve::RawPieceReserve(size_t pieceSamples, int readyDepth)
    : pieceSamples_(pieceSamples), depth(readyDepth) {}

RawPieceReserve::~RawPieceReserve() {
  {
    MutexLock lock(&readyMutex);
    stopping = true;
  }
  pieceWanted.notifyOne();
  if (filler.joinable()) filler.join();
  MutexLock lock(&readyMutex);
  for (qint16* piece : readyPieces) std::free(piece);
}

void RawPieceReserve::start() {
  if (!filler.joinable()) filler = std::thread([this] { fill(); });
}

qint16* RawPieceReserve::take() {
  qint16* piece = nullptr;
  {
    MutexLock lock(&readyMutex);
    if (readyPieces.empty()) return nullptr;
    piece = readyPieces.back();
    readyPieces.pop_back();
  }
  pieceWanted.notifyOne();
  return piece;
}

void RawPieceReserve::fill() {
  // Woken by the host's take(), it must not take the CPU from the host.
  platform::lowerCurrentThreadPriority();
  for (;;) {
    {
      MutexLock lock(&readyMutex);
      while (!stopping && int(readyPieces.size()) >= depth) pieceWanted.wait(readyMutex, -1);
      if (stopping) return;
    }
    qint16* piece = RawVolumeRecord::allocateZeroed(pieceSamples_);
    // Out of memory: the record finds the reserve empty and tries itself.
    if (piece == nullptr) return;
    // Writing a zero where the system's fresh page already holds one makes it
    // resident without changing it.
    volatile char* bytes = reinterpret_cast<char*>(piece);
    for (size_t at = 0; at < pieceSamples_ * sizeof(qint16); at += kPageBytes) bytes[at] = 0;
    MutexLock lock(&readyMutex);
    readyPieces.push_back(piece);
  }
}
