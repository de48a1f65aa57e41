// RawVolumeRecord: the run's copy of its raw volumes, E x V 16-bit samples in
// one index space (entry t * V + i is voxel i of volume t).
//
// The memory is taken in pieces of a fixed number of samples, each when a store
// first reaches it, so sizing the record costs the same for any run length and
// a store touches only the pieces its samples fall into.  An entry no store has
// reached reads as 0.  Resizing keeps the pieces below the new size: a following
// run with the same sizes reads the previous run's values until it overwrites
// them, a larger one keeps them and reads 0 beyond, a smaller one drops the rest.
//
// When a piece cannot be allocated, the store fails and nothing from that
// store's first entry on is kept until the next resize (keptSize()); the
// entries below stay readable.
//
// Not thread-safe: the plug-in guards it with its run record mutex.
//
//   RawVolumeRecord record;
//   record.resize(expectedVolumes * voxels);
//   if (!record.store(volume * voxels, samples, voxels)) ...  // out of memory
//   record.copyBigEndian(volume * voxels, voxels, out);
#pragma once

#include <QtGlobal>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

class RawVolumeRecord {
 public:
  // 2 MiB, a huge page: about one volume of a 2026 multiband sequence.
  static constexpr qint64 kDefaultPieceSamples = qint64(1) << 20;
  // No run is recorded beyond this (512 GiB); a host reporting more is
  // treated as one whose memory ran out at once.
  static constexpr qint64 kMaxSamples = qint64(1) << 38;

  // `samples` zeroed 16-bit values that std::free releases, or null.
  using Allocator = std::function<qint16*(size_t samples)>;
  static qint16* allocateZeroed(size_t samples);

  explicit RawVolumeRecord(qint64 pieceSamples = kDefaultPieceSamples, Allocator allocate = allocateZeroed);

  // The entries the run expects, E x V.
  qint64 size() const { return size_; }
  // The entries from 0 up to which stores are kept; size() unless memory ran out.
  qint64 keptSize() const { return keptSize_; }
  // Pieces currently allocated.
  qint64 allocatedPieces() const;

  // Sizes the record to `entries` (0 for a negative count) and keeps stores
  // again up to it.  Costs the pointer table only, and zeroing the tail of a
  // piece that a smaller size cuts.
  void resize(qint64 entries);
  // Copies `count` samples to entries `first` on.  False, with nothing kept,
  // when they do not lie inside the record or below keptSize(); false when a
  // piece cannot be allocated, and then keptSize() becomes `first`.
  bool store(qint64 first, const qint16* samples, qint64 count);
  // Writes entries `first` to `first + count - 1` into `out` as big-endian
  // 16-bit integers.  False, with nothing written, when any lies at or beyond
  // keptSize().
  bool copyBigEndian(qint64 first, qint64 count, char* out) const;

 private:
  struct Free {
    void operator()(qint16* piece) const { std::free(piece); }
  };
  using Piece = std::unique_ptr<qint16[], Free>;

  qint64 pieceSamples;
  Allocator allocate;
  qint64 size_ = 0;
  qint64 keptSize_ = 0;
  std::vector<Piece> pieces;
};
