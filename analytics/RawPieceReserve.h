// RawPieceReserve: pieces for the raw record made ahead, off the host's
// thread, with every page already touched.  That thread runs at the lowest
// priority, so that it never delays the host.
//
// The first write to a page of fresh memory makes the system find and zero a
// page: about 2 us for each 4 KiB on a virtual machine, so a millisecond for
// one 104 x 104 x 72 volume, on the host's thread at its pre-step.  The
// reserve's own thread allocates and touches a few pieces ahead instead; the
// record takes one when a volume's copy needs a new piece, and the thread
// makes the next while the host works.  When none is ready (a record that
// outruns the thread), the record allocates the piece itself, as without a
// reserve.
//
// Thread rules: start() and take() on the host's thread (take() under the
// record's lock, which the reserve never takes); the reserve's own thread
// holds its mutex only to hand a piece over, never while it allocates or
// touches one.  The destructor stops and joins the thread and frees what is
// left.
//
//   RawPieceReserve reserve(RawVolumeRecord::kDefaultPieceSamples, 3);
//   reserve.start();                           // at the pre-run
//   qint16* piece = reserve.take();            // null: none ready
#pragma once

#include <QtGlobal>
#include <cstddef>
#include <thread>
#include <vector>

#include "plugin/Mutex.h"

class RawPieceReserve {
 public:
  // Keeps up to `readyDepth` pieces of `pieceSamples` zeroed samples ready.
  RawPieceReserve(size_t pieceSamples, int readyDepth);
  ~RawPieceReserve();
  RawPieceReserve(const RawPieceReserve&) = delete;
  RawPieceReserve& operator=(const RawPieceReserve&) = delete;

  size_t pieceSamples() const { return pieceSamples_; }
  // Starts the thread that fills the reserve; later calls do nothing.
  void start() LOCKS_EXCLUDED(readyMutex);
  // A ready piece (std::free releases it), or null; asks for another.
  qint16* take() LOCKS_EXCLUDED(readyMutex);

 private:
  void fill() LOCKS_EXCLUDED(readyMutex);

  const size_t pieceSamples_;
  const int depth;
  Mutex readyMutex;
  ConditionVariable pieceWanted;
  std::vector<qint16*> readyPieces GUARDED_BY(readyMutex);
  bool stopping GUARDED_BY(readyMutex) = false;
  std::thread filler;  // started and joined on the host's thread only
};
