#include <gtest/gtest.h>

#include <string>

#include "simulator/Faults.h"

TEST(Faults, ReadsEveryItemOfTheGrammar) {
  FaultPlan plan;
  std::string error;
  ASSERT_TRUE(parseFaults("jitter=50ms,late=0.05:0.8s,drop=0.02,repeat=0.01,stop-at=40,seed=7", plan, error))
      << error;
  EXPECT_EQ(plan.jitterMs, 50);
  EXPECT_DOUBLE_EQ(plan.lateProbability, 0.05);
  EXPECT_EQ(plan.lateMs, 800);
  EXPECT_DOUBLE_EQ(plan.dropProbability, 0.02);
  EXPECT_DOUBLE_EQ(plan.repeatProbability, 0.01);
  EXPECT_EQ(plan.stopAt, 40);
  EXPECT_EQ(plan.seed, 7u);
  EXPECT_TRUE(plan.any());

  ASSERT_TRUE(parseFaults("spike=0.1:-8%,shift=0.2:-3", plan, error)) << error;
  EXPECT_DOUBLE_EQ(plan.spikePercent, -8.0);
  EXPECT_EQ(plan.shiftVoxels, -3);
  ASSERT_TRUE(parseFaults("spike=0.1,shift=0.2", plan, error)) << error;
  EXPECT_DOUBLE_EQ(plan.spikeProbability, 0.1);
  EXPECT_DOUBLE_EQ(plan.spikePercent, 5.0);
  EXPECT_DOUBLE_EQ(plan.shiftProbability, 0.2);
  EXPECT_EQ(plan.shiftVoxels, 1);

  ASSERT_TRUE(parseFaults("missed-trigger=0.1,extra-trigger=0.2,first-trigger-missed", plan, error)) << error;
  EXPECT_DOUBLE_EQ(plan.missedTriggerProbability, 0.1);
  EXPECT_DOUBLE_EQ(plan.extraTriggerProbability, 0.2);
  EXPECT_TRUE(plan.firstTriggerMissed);
  EXPECT_TRUE(plan.touchesTriggers());
  EXPECT_TRUE(plan.any());

  ASSERT_TRUE(parseFaults("jitter=20", plan, error));
  EXPECT_EQ(plan.jitterMs, 20);
  EXPECT_EQ(plan.seed, 1u);  // items not given fall back to their defaults
  ASSERT_TRUE(parseFaults("seed=3", plan, error));
  EXPECT_FALSE(plan.any());
}

TEST(Faults, RefusesWhatItCannotRead) {
  for (const char* bad : {"",
                          "drop",
                          "drop=1.5",
                          "drop=-0.1",
                          "late=0.1",
                          "late=0.1:x",
                          "jitter=-5ms",
                          "stop-at=0",
                          "stop-at=4.5",
                          "seed=x",
                          "wobble=3",
                          "drop=0.1,,jitter=abc",
                          "spike=0.1:0",
                          "spike=0.1:x%",
                          "spike=2",
                          "spike=0.1:-101%",
                          "shift=0.1:0",
                          "shift=0.1:1.5",
                          "shift=0.1:",
                          "missed-trigger=2",
                          "extra-trigger",
                          "first-trigger-missed=1"}) {
    FaultPlan plan;
    plan.jitterMs = 99;
    std::string error;
    EXPECT_FALSE(parseFaults(bad, plan, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
    EXPECT_EQ(plan.jitterMs, 99) << "a refused list leaves the plan alone: " << bad;
  }
}

TEST(Faults, TheSameSeedGivesTheSameFaultsAndTheRatesAreKept) {
  FaultPlan plan;
  std::string error;
  ASSERT_TRUE(parseFaults("jitter=40ms,late=0.1:500ms,drop=0.2,repeat=0.1,seed=11", plan, error));
  FaultDice a(plan), b(plan);
  int drops = 0, repeats = 0, lates = 0;
  constexpr int kVolumes = 20000;
  for (int v = 0; v < kVolumes; ++v) {
    const VolumeFaults x = a.next(), y = b.next();
    ASSERT_EQ(x.delayMs, y.delayMs);
    ASSERT_EQ(x.drop, y.drop);
    ASSERT_EQ(x.repeat, y.repeat);
    EXPECT_FALSE(x.drop && x.repeat);
    EXPECT_GE(x.delayMs, x.late ? 500 : 0);
    EXPECT_LE(x.delayMs, x.late ? 540 : 40);
    drops += x.drop;
    repeats += x.repeat;
    lates += x.late;
  }
  EXPECT_NEAR(drops / double(kVolumes), 0.2, 0.015);
  EXPECT_NEAR(repeats / double(kVolumes), 0.1 * 0.8, 0.015);  // a dropped volume is not repeated
  EXPECT_NEAR(lates / double(kVolumes), 0.1, 0.015);

  plan.seed = 12;
  FaultDice c(plan), d(plan);
  int differences = 0;
  FaultDice e(FaultPlan{plan.jitterMs, plan.lateProbability, plan.lateMs, plan.dropProbability,
                        plan.repeatProbability, plan.stopAt, 11});
  for (int v = 0; v < 100; ++v) differences += c.next().drop != e.next().drop;
  EXPECT_GT(differences, 0) << "another seed gives other faults";

  // Spoiling draws apart: adding it leaves the timing faults of a seed alone.
  FaultPlan spoiling = plan;
  spoiling.spikeProbability = spoiling.shiftProbability = 0.3;
  FaultDice timing(plan), spoiled(spoiling);
  int spikes = 0;
  for (int v = 0; v < 1000; ++v) {
    const VolumeFaults x = timing.next(), y = spoiled.next();
    ASSERT_EQ(x.delayMs, y.delayMs);
    ASSERT_EQ(x.drop, y.drop);
    ASSERT_EQ(x.repeat, y.repeat);
    EXPECT_FALSE(x.spike || x.shift);
    spikes += y.spike;
  }
  EXPECT_NEAR(spikes / 1000.0, 0.3, 0.05);
}

TEST(Faults, TriggerFaultsLeaveTheVolumeFaultsAsTheyWereAndMissTheFirstTrigger) {
  FaultPlan plain, withTriggers;
  std::string error;
  ASSERT_TRUE(parseFaults("jitter=40ms,drop=0.2,spike=0.1,seed=5", plain, error));
  ASSERT_TRUE(
      parseFaults("jitter=40ms,drop=0.2,spike=0.1,seed=5,missed-trigger=0.3,extra-trigger=0.3,"
                  "first-trigger-missed",
                  withTriggers, error));
  FaultDice a(plain), b(withTriggers);
  int missed = 0, extra = 0;
  constexpr int kVolumes = 4000;
  for (int v = 0; v < kVolumes; ++v) {
    const VolumeFaults x = a.next(v == 0), y = b.next(v == 0);
    ASSERT_EQ(x.delayMs, y.delayMs);
    ASSERT_EQ(x.drop, y.drop);
    ASSERT_EQ(x.spike, y.spike);
    EXPECT_FALSE(x.missedTrigger || x.extraTrigger);
    if (v == 0) EXPECT_TRUE(y.missedTrigger);
    missed += y.missedTrigger;
    extra += y.extraTrigger;
  }
  EXPECT_NEAR(missed / double(kVolumes), 0.3, 0.03);
  EXPECT_NEAR(extra / double(kVolumes), 0.3, 0.03);
}
