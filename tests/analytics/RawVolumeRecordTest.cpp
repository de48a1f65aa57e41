// The raw record's pieces: what a store keeps and a copy reads, across piece
// edges, resizes and allocations that fail, and the reserve that makes them
// ahead.  Pieces of 4 samples, so every case crosses them.
#include <gtest/gtest.h>

#include <QtEndian>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "analytics/RawPieceReserve.h"
#include "analytics/RawVolumeRecord.h"

namespace {

constexpr qint64 kPiece = 4;

std::vector<qint16> read(const RawVolumeRecord& record, qint64 first, qint64 count) {
  std::vector<char> bytes(size_t(2 * count));
  if (!record.copyBigEndian(first, count, bytes.data())) return {};
  std::vector<qint16> samples;
  for (qint64 i = 0; i < count; ++i) samples.push_back(qFromBigEndian<qint16>(bytes.data() + 2 * i));
  return samples;
}

std::vector<qint16> counting(qint16 from, int count) {
  std::vector<qint16> samples;
  for (int i = 0; i < count; ++i) samples.push_back(qint16(from + i));
  return samples;
}

// Fails every allocation once `piecesLeft` pieces have been handed out.
int piecesLeft = 0;
qint16* limited(size_t samples) {
  if (piecesLeft == 0) return nullptr;
  --piecesLeft;
  return RawVolumeRecord::allocateZeroed(samples);
}

}  // namespace

TEST(RawVolumeRecord, StoresTouchOnlyTheirPiecesAndTheRestReadsZero) {
  RawVolumeRecord record(kPiece);
  record.resize(6 * kPiece);
  EXPECT_EQ(record.allocatedPieces(), 0) << "sizing allocates nothing";
  EXPECT_EQ(read(record, 0, 6 * kPiece), std::vector<qint16>(6 * kPiece, 0));

  const std::vector<qint16> volume = {-32768, -1, 0, 1, 32767, 7};  // spans pieces 2 and 3
  ASSERT_TRUE(record.store(10, volume.data(), 6));
  EXPECT_EQ(record.allocatedPieces(), 2);
  EXPECT_EQ(read(record, 10, 6), volume);
  EXPECT_EQ(read(record, 8, 2), std::vector<qint16>(2, 0));
  EXPECT_EQ(read(record, 16, 8), std::vector<qint16>(8, 0));

  EXPECT_FALSE(record.store(20, volume.data(), 6)) << "past the end";
  EXPECT_FALSE(record.store(-1, volume.data(), 1));
  EXPECT_TRUE(read(record, 20, 6).empty());
  EXPECT_TRUE(read(record, -1, 2).empty());
}

TEST(RawVolumeRecord, ResizingKeepsWhatStaysAndReadsZeroInWhatIsNew) {
  RawVolumeRecord record(kPiece);
  record.resize(12);
  const std::vector<qint16> all = counting(100, 12);
  ASSERT_TRUE(record.store(0, all.data(), 12));

  record.resize(12);
  EXPECT_EQ(read(record, 0, 12), all) << "same size: the previous run's values";
  record.resize(6);  // cuts piece 1 in the middle
  EXPECT_EQ(record.allocatedPieces(), 2);
  EXPECT_TRUE(read(record, 4, 4).empty());
  record.resize(16);
  std::vector<qint16> expected = counting(100, 6);
  expected.resize(16, 0);
  EXPECT_EQ(read(record, 0, 16), expected) << "what a smaller run cut off is gone";
}

TEST(RawVolumeRecord, AFailedAllocationKeepsNothingFromThatStoreOnUntilTheNextResize) {
  piecesLeft = 2;
  RawVolumeRecord record(kPiece, limited);
  record.resize(5 * kPiece);
  const std::vector<qint16> volume = counting(1, 6);
  ASSERT_TRUE(record.store(0, volume.data(), 6));  // pieces 0 and 1
  EXPECT_FALSE(record.store(6, volume.data(), 6)) << "needs piece 2";
  EXPECT_EQ(record.keptSize(), 6);
  EXPECT_EQ(record.size(), 5 * kPiece);
  EXPECT_EQ(read(record, 0, 6), volume);
  EXPECT_TRUE(read(record, 6, 6).empty());
  EXPECT_TRUE(read(record, 5, 2).empty());
  piecesLeft = 1;
  EXPECT_FALSE(record.store(12, volume.data(), 6)) << "nothing is kept after a failure";
  EXPECT_EQ(piecesLeft, 1);

  record.resize(5 * kPiece);
  EXPECT_EQ(record.keptSize(), 5 * kPiece);
  ASSERT_TRUE(record.store(8, volume.data(), 4));
  EXPECT_EQ(read(record, 8, 4), counting(1, 4));
}

TEST(RawVolumeRecord, ARunBeyondTheLimitKeepsWhatLiesBelowIt) {
  RawVolumeRecord record;
  record.resize(RawVolumeRecord::kMaxSamples + 1);
  EXPECT_EQ(record.size(), RawVolumeRecord::kMaxSamples + 1);
  EXPECT_EQ(record.keptSize(), RawVolumeRecord::kMaxSamples);
  const qint16 sample = 42;
  EXPECT_TRUE(record.store(RawVolumeRecord::kMaxSamples - 1, &sample, 1));
  EXPECT_FALSE(record.store(RawVolumeRecord::kMaxSamples, &sample, 1));
  EXPECT_EQ(read(record, RawVolumeRecord::kMaxSamples - 1, 1), std::vector<qint16>{42});
  EXPECT_EQ(record.allocatedPieces(), 1);
  record.resize(-5);
  EXPECT_EQ(record.size(), 0);
}

TEST(RawPieceReserve, HandsOutZeroedPiecesMadeAheadAndMakesTheNext) {
  RawPieceReserve reserve(kPiece, 2);
  EXPECT_EQ(reserve.take(), nullptr) << "nothing before it starts";
  reserve.start();
  std::vector<qint16*> taken;
  // Three pieces from a reserve of two: the third is made after a take.
  for (int attempt = 0; attempt < 5000 && taken.size() < 3; ++attempt) {
    if (qint16* piece = reserve.take()) {
      taken.push_back(piece);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ASSERT_EQ(taken.size(), 3u);
  for (qint16* piece : taken) {
    EXPECT_EQ(std::vector<qint16>(piece, piece + kPiece), std::vector<qint16>(kPiece, 0));
    std::free(piece);
  }
}
