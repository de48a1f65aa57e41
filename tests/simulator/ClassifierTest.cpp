#include <gtest/gtest.h>

#include <vector>

#include "simulator/Classifier.h"

TEST(Classifier, IsNotUsedUnlessSwitchedOn) {
  Classifier off(0, 2, 0);
  EXPECT_FALSE(off.enabled());
  EXPECT_EQ(off.numberOfClasses(), -3);
  EXPECT_EQ(off.pairs(), 0);
}

TEST(Classifier, ReportsNoOutputUntilEveryClassWasLearnt) {
  Classifier classifier(3, 1, 0);
  EXPECT_EQ(classifier.numberOfClasses(), 0);
  EXPECT_EQ(classifier.pairs(), 3);
  classifier.addVolume({0.0}, 0);
  classifier.addVolume({5.0}, 1);
  EXPECT_EQ(classifier.numberOfClasses(), 0);
  float out[3] = {9, 9, 9};
  EXPECT_EQ(classifier.output(out), -1);
  classifier.addVolume({10.0}, 2);
  EXPECT_EQ(classifier.numberOfClasses(), 3);
}

TEST(Classifier, PairValuesFavourTheNearerCentroid) {
  Classifier classifier(3, 2, 0);
  classifier.addVolume({0.0, 0.0}, 0);
  classifier.addVolume({10.0, 0.0}, 1);
  classifier.addVolume({0.0, 10.0}, 2);
  classifier.addVolume({9.0, 1.0}, -1);  // not learnt: no such class
  float out[3];
  EXPECT_EQ(classifier.output(out), 1);
  // Squared distances: to class 0: 82, to 1: 2, to 2: 162.
  EXPECT_FLOAT_EQ(out[0], 2.0f - 82.0f);    // (0,1)
  EXPECT_FLOAT_EQ(out[1], 162.0f - 82.0f);  // (0,2)
  EXPECT_FLOAT_EQ(out[2], 162.0f - 2.0f);   // (1,2)
}

TEST(Classifier, LearnsEachVolumeUnderTheLabelOfItsLag) {
  // With a lag of 2 the volume of step t is learnt at step t + 2, under the
  // label passed then.
  Classifier classifier(2, 1, 2);
  classifier.addVolume({1.0}, 1);  // nothing old enough yet
  classifier.addVolume({2.0}, 1);
  EXPECT_EQ(classifier.numberOfClasses(), 0);
  classifier.addVolume({3.0}, 0);  // learns {1} as class 0
  classifier.addVolume({4.0}, 1);  // learns {2} as class 1
  EXPECT_EQ(classifier.numberOfClasses(), 2);
  float out[1];
  EXPECT_EQ(classifier.output(out), 1);  // current {4}: centroids 1 and 2
  EXPECT_FLOAT_EQ(out[0], 4.0f - 9.0f);
}
