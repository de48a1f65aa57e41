#include "analytics/RawVolumeRecord.h"

#include <QtEndian>
#include <algorithm>
#include <cstring>
#include <utility>

qint16* RawVolumeRecord::allocateZeroed(size_t samples) {
  // Large blocks come straight from the system, which zeroes each page when
  // it is first touched: allocating a piece does not touch it.
  return static_cast<qint16*>(std::calloc(samples, sizeof(qint16)));
}

RawVolumeRecord::RawVolumeRecord(qint64 pieceSamples, Allocator allocate)
    : pieceSamples(pieceSamples), allocate(std::move(allocate)) {}

qint64 RawVolumeRecord::allocatedPieces() const {
  return std::count_if(pieces.begin(), pieces.end(), [](const Piece& piece) { return piece != nullptr; });
}

void RawVolumeRecord::resize(qint64 entries) {
  size_ = std::max<qint64>(entries, 0);
  keptSize_ = std::min(size_, kMaxSamples);
  const size_t needed = size_t((keptSize_ + pieceSamples - 1) / pieceSamples);
  // A cut piece must read 0 beyond the new size when a later run grows again.
  const qint64 inLast = keptSize_ % pieceSamples;
  if (inLast != 0 && needed <= pieces.size() && pieces[needed - 1] != nullptr)
    std::memset(pieces[needed - 1].get() + inLast, 0, size_t(pieceSamples - inLast) * sizeof(qint16));
  pieces.resize(needed);
}

bool RawVolumeRecord::store(qint64 first, const qint16* samples, qint64 count) {
  if (first < 0 || count < 0 || first > keptSize_ - count) return false;
  if (count == 0) return true;
  // Every piece first, so that a failed store leaves nothing half kept.
  const qint64 lastPiece = (first + count - 1) / pieceSamples;
  for (qint64 p = first / pieceSamples; p <= lastPiece; ++p) {
    if (pieces[size_t(p)] != nullptr) continue;
    pieces[size_t(p)].reset(allocate(size_t(pieceSamples)));
    if (pieces[size_t(p)] == nullptr) {
      keptSize_ = first;
      return false;
    }
  }
  for (qint64 at = first, end = first + count; at < end;) {
    const qint64 offset = at % pieceSamples;
    const qint64 run = std::min(end - at, pieceSamples - offset);
    std::memcpy(pieces[size_t(at / pieceSamples)].get() + offset, samples + (at - first),
                size_t(run) * sizeof(qint16));
    at += run;
  }
  return true;
}

bool RawVolumeRecord::copyBigEndian(qint64 first, qint64 count, char* out) const {
  if (first < 0 || count < 0 || first > keptSize_ - count) return false;
  for (qint64 at = first, end = first + count; at < end;) {
    const qint64 offset = at % pieceSamples;
    const qint64 run = std::min(end - at, pieceSamples - offset);
    char* to = out + 2 * (at - first);
    const Piece& piece = pieces[size_t(at / pieceSamples)];
    if (piece == nullptr) {
      std::memset(to, 0, size_t(run) * sizeof(qint16));
    } else {
      // Qt's array form swaps a vector register at a time.
      qToBigEndian<qint16>(piece.get() + offset, run, to);
    }
    at += run;
  }
  return true;
}
