// The correlation pair matrix and the announcement parser.
#include <gtest/gtest.h>

#include "Bytes.h"
#include "nmbclient/Discovery.h"
#include "nmbclient/Helpers.h"
#include "nmbclient/Ledger.h"
#include "nmbclient/Marks.h"

using namespace testbytes;

TEST(PairMatrix, FourRoisFillTheUpperTriangleInPairOrderAndMirrorIt) {
  // Pairs (0,1), (0,2), (0,3), (1,2), (1,3), (2,3).
  const nmb::SquareMatrix m = nmb::pairMatrix({1, 2, 3, 4, 5, 6});
  ASSERT_EQ(m.size, 4u);
  const float expected[4][4] = {{1, 1, 2, 3}, {1, 1, 4, 5}, {2, 4, 1, 6}, {3, 5, 6, 1}};
  for (std::size_t a = 0; a < 4; ++a)
    for (std::size_t b = 0; b < 4; ++b) EXPECT_EQ(m.at(a, b), expected[a][b]) << a << "," << b;
}

TEST(PairMatrix, TwoRoisAndCustomDiagonal) {
  const nmb::SquareMatrix m = nmb::pairMatrix({0.5f}, 0.0f);
  EXPECT_EQ(m.size, 2u);
  EXPECT_EQ(m.values, (std::vector<float>{0, 0.5f, 0.5f, 0}));
}

TEST(PairMatrix, RefusesCountsThatAreNoPairList) {
  for (std::size_t n : {0u, 2u, 4u, 5u, 7u, 9u}) {
    SCOPED_TRACE(n);
    EXPECT_THROW(nmb::pairMatrix(std::vector<float>(n)), std::invalid_argument);
  }
  EXPECT_EQ(nmb::roiCountOfPairs(45), 10u);
}

TEST(VoxelIndex, XVariesFastest) {
  EXPECT_EQ(nmb::voxelIndex(1, 0, 0, 64, 64), 1);
  EXPECT_EQ(nmb::voxelIndex(0, 1, 0, 64, 64), 64);
  EXPECT_EQ(nmb::voxelIndex(3, 2, 1, 64, 64), 64 * 64 + 2 * 64 + 3);
}

TEST(Announcement, ParsesThePortAfterTheText) {
  const Bytes datagram = ascii("Nimbrel Broadcast: 55555");
  ASSERT_EQ(datagram.size(), 24u);
  EXPECT_EQ(nmb::parseAnnouncement(datagram.data(), datagram.size()), 55555);
  const Bytes small = ascii("Nimbrel Broadcast: 7");
  EXPECT_EQ(nmb::parseAnnouncement(small.data(), small.size()), 7);
}

TEST(Announcement, IgnoresEverythingElse) {
  for (const char* text : {"Nimbrel Broadcast: ", "Nimbrel Broadcast: 65536", "Nimbrel Broadcast: 012",
                           "Nimbrel Broadcast: 12a", "Nimbrel Broadcast: 123456", "Nimbrel Broadcast:1234",
                           "nimbrel broadcast: 1234", "Nimbrel Broadcast: 1234\n", ""}) {
    SCOPED_TRACE(text);
    const Bytes d = ascii(text);
    EXPECT_FALSE(nmb::parseAnnouncement(d.data(), d.size()).has_value());
  }
}

TEST(Ledger, StagesAreTheDifferencesOfTheFirstStamps) {
  using std::chrono::milliseconds;
  const auto t0 = std::chrono::steady_clock::now();
  nmb::Ledger ledger;
  ledger.stamp(3, nmb::Ledger::Trigger, t0);
  ledger.stamp(3, nmb::Ledger::PostStep, t0 + milliseconds(812));
  ledger.stamp(3, nmb::Ledger::PostStep, t0 + milliseconds(900));  // a repeated step keeps the first
  ledger.stamp(3, nmb::Ledger::Values, t0 + milliseconds(813));
  ledger.stamp(0, nmb::Ledger::Shown, t0);  // volumes count from 1
  const nmb::Stages s = ledger.stages(3);
  EXPECT_DOUBLE_EQ(*s.triggerToPostStepMs, 812.0);
  EXPECT_DOUBLE_EQ(*s.postStepToValuesMs, 1.0);
  EXPECT_FALSE(s.valuesToShownMs.has_value());
  EXPECT_FALSE(ledger.stages(2).postStepToValuesMs.has_value());
  EXPECT_FALSE(ledger.moments(4000).trigger.has_value());
  EXPECT_EQ(ledger.firstStamp(), t0);
}

TEST(Marks, TheDatagramIsTheDocumentedText) {
  const struct {
    std::string label;
    std::optional<std::int32_t> volume;
    std::string expected;
  } cases[] = {
      {"feedback shown", 17, "Nimbrel Mark: 17 1765270012.804113 feedback shown"},
      {"cue\tleft\n", std::nullopt, "Nimbrel Mark: - 1765270012.804113 cue left "},
      {std::string(255, 'a') + "\xC3\xA9", 1, "Nimbrel Mark: 1 1765270012.804113 " + std::string(255, 'a')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(nmb::encodeMark(c.label, c.volume, 1765270012.804113), c.expected);
  }
}
