#include <cmath>
#include <limits>
#include <set>

#include "tests/analytics/Reference.h"
#include "tests/protocol/ReplyTestSupport.h"

using replytest::errorReply;
using replytest::ReplyReader;

namespace {

// Voxel values that make the ROI time courses differ in shape.
float voxelSignal(int x, int y, int z, int t) {
  return float(std::sin(0.7 * t * (x + 1)) + 0.3 * std::cos(1.3 * t + y) + 0.01 * z * t);
}

}  // namespace

class CorrelationRequests : public ExecutorTest {
 protected:
  void SetUp() override {
    ExecutorTest::SetUp();
    host().voxelValue = [this](int x, int y, int z, int t) {
      askedTimes.insert(t);
      return voxelSignal(x, y, z, t);
    };
    setRois(3);
    host().currentTimePoint = 20;
  }
  // ROI r has two voxels, (r, 0, 0) and (r, 1, 0).
  void setRois(int count) {
    host().rois.clear();
    for (int r = 0; r < count; ++r) host().rois.push_back(FakeRoi{{{r, 0, 0}, {r, 1, 0}}, 0, 0, {}, {}});
  }
  // The ROI mean as the test computes it from the voxel function.
  static reference::Series roiSeries(int roi, int from, int to) {
    reference::Series series;
    for (int t = from; t < to; ++t)
      series.push_back(double((voxelSignal(roi, 0, 0, t) + voxelSignal(roi, 1, 0, t)) / 2.0f));
    return series;
  }
  std::set<int> askedTimes;
};

TEST_F(CorrelationRequests, PearsonWithThreeRoisIsTheWorkedExample) {
  const QByteArray reply = execute("tGetPearsonCorrelation", {10});
  EXPECT_EQ(reply.left(8 + 4 + 23 + 4).toHex(),
            (QByteArray::fromHex("000000000000002B"
                                 "00000017") +
             QByteArray("tGetPearsonCorrelation", 23) + QByteArray::fromHex("0000000A"))
                .toHex());
  ASSERT_EQ(reply.size(), 8 + 43);
  ReplyReader in(reply);
  in.text();
  in.integer();
  const int pairs[][2] = {{0, 1}, {0, 2}, {1, 2}};
  for (const auto& p : pairs) {
    SCOPED_TRACE(testing::Message() << p[0] << "," << p[1]);
    EXPECT_NEAR(in.real(), reference::pearson(roiSeries(p[0], 10, 20), roiSeries(p[1], 10, 20)), 2e-7);
  }
  // The window is time points N - w .. N - 1.
  EXPECT_EQ(askedTimes, (std::set<int>{10, 11, 12, 13, 14, 15, 16, 17, 18, 19}));
}

TEST_F(CorrelationRequests, FourRoisInPairOrder) {
  setRois(4);
  ReplyReader in(execute("tGetPearsonCorrelationAtTimePoint", {8, 15}));
  EXPECT_EQ(in.text(), QByteArray("tGetPearsonCorrelationAtTimePoint"));
  EXPECT_EQ(in.integer(), 8);
  EXPECT_EQ(in.integer(), 15);
  for (int a = 0; a < 4; ++a)
    for (int b = a + 1; b < 4; ++b)
      EXPECT_NEAR(in.real(), reference::pearson(roiSeries(a, 7, 15), roiSeries(b, 7, 15)), 2e-7) << a << b;
  EXPECT_TRUE(in.atEnd());
}

TEST_F(CorrelationRequests, PartialAgainstRegressionResiduals) {
  setRois(4);
  ReplyReader in(execute("tGetPartialCorrelation", {16}));
  EXPECT_EQ(in.text(), QByteArray("tGetPartialCorrelation"));
  EXPECT_EQ(in.integer(), 16);
  std::vector<reference::Series> rows;
  for (int r = 0; r < 4; ++r) rows.push_back(roiSeries(r, 4, 20));
  for (size_t a = 0; a < 4; ++a)
    for (size_t b = a + 1; b < 4; ++b) EXPECT_NEAR(in.real(), reference::partial(rows, a, b), 1e-6) << a << b;
  EXPECT_TRUE(in.atEnd());
}

TEST_F(CorrelationRequests, TwoRoisPartialAgreesWithPearson) {
  setRois(2);
  ReplyReader pearson(execute("tGetPearsonCorrelation", {12}));
  ReplyReader partial(execute("tGetPartialCorrelationAtTimePoint", {12, 20}));
  pearson.text();
  pearson.integer();
  partial.text();
  partial.integer();
  partial.integer();
  EXPECT_NEAR(pearson.real(), partial.real(), 1e-6);
  EXPECT_TRUE(pearson.atEnd());
  EXPECT_TRUE(partial.atEnd());
}

TEST_F(CorrelationRequests, TimePointAtTheCurrentOneEqualsThePlainForm) {
  const struct {
    const char* plain;
    const char* atTimePoint;
  } forms[] = {{"tGetPearsonCorrelation", "tGetPearsonCorrelationAtTimePoint"},
               {"tGetPartialCorrelation", "tGetPartialCorrelationAtTimePoint"},
               {"tGetInstantProxyCorrelation", "tGetInstantProxyCorrelationAtTimePoint"}};
  for (const auto& form : forms) {
    SCOPED_TRACE(form.plain);
    const QByteArray plain = execute(form.plain, {6});
    const QByteArray at = execute(form.atTimePoint, {6, 20});
    const int values = plain.size() - (8 + 4 + int(strlen(form.plain)) + 1 + 4);
    ASSERT_GT(values, 0);
    ASSERT_EQ(at.size(), 8 + 4 + int(strlen(form.atTimePoint)) + 1 + 8 + values);
    EXPECT_EQ(at.right(values), plain.right(values));
  }
}

TEST_F(CorrelationRequests, InstantProxyUsesEveryRoiOrExactlyThree) {
  setRois(4);
  ReplyReader all(execute("tGetInstantProxyCorrelation", {10}));
  EXPECT_EQ(all.text(), QByteArray("tGetInstantProxyCorrelation"));
  EXPECT_EQ(all.integer(), 10);
  double within = 0, withReference = 0;
  for (int j = 0; j < 3; ++j) {
    for (int k = j + 1; k < 3; ++k) within += reference::pearson(roiSeries(j, 10, 20), roiSeries(k, 10, 20));
    withReference += reference::pearson(roiSeries(j, 10, 20), roiSeries(3, 10, 20));
  }
  EXPECT_NEAR(all.real(), within / 3 - withReference / 3, 1e-6);
  EXPECT_TRUE(all.atEnd());
  EXPECT_EQ(execute("tGetInstantProxyCorrelationAtTimePoint", {10, 20}), errorReply("No ROI selected"));

  setRois(3);
  ReplyReader three(execute("tGetInstantProxyCorrelationAtTimePoint", {10, 18}));
  three.text();
  EXPECT_EQ(three.integer(), 10);
  EXPECT_EQ(three.integer(), 18);
  const double expected = reference::pearson(roiSeries(0, 8, 18), roiSeries(1, 8, 18)) -
                          (reference::pearson(roiSeries(0, 8, 18), roiSeries(2, 8, 18)) +
                           reference::pearson(roiSeries(1, 8, 18), roiSeries(2, 8, 18))) /
                              2;
  EXPECT_NEAR(three.real(), expected, 1e-6);
}

TEST_F(CorrelationRequests, WindowOfOneGivesNaNs) {
  for (const char* name : {"tGetPearsonCorrelation", "tGetPartialCorrelation"}) {
    ReplyReader in(execute(name, {1}));
    in.text();
    in.integer();
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::isnan(in.real())) << name;
    EXPECT_TRUE(in.atEnd());
  }
}

namespace {

struct CorrelationError {
  const char* name;
  QList<int> arguments;
  int rois;
  const char* text;
};

// Host time point 20.
const CorrelationError kErrors[] = {
    {"tGetPearsonCorrelation", {0}, 3, "Windows size bigger than data available"},
    {"tGetPearsonCorrelation", {-4}, 3, "Windows size bigger than data available"},
    {"tGetPearsonCorrelation", {21}, 3, "Windows size bigger than data available"},
    {"tGetPartialCorrelation", {0}, 3, "Windows size bigger(smaller) than data available"},
    {"tGetPartialCorrelation", {21}, 3, "Windows size bigger(smaller) than data available"},
    {"tGetPartialCorrelationAtTimePoint", {0, 10}, 3, "Windows size bigger than data available"},
    {"tGetPearsonCorrelationAtTimePoint", {21, 5}, 3, "Windows size bigger than data available"},
    {"tGetInstantProxyCorrelation", {-1}, 3, "Windows size bigger than data available"},
    {"tGetInstantProxyCorrelationAtTimePoint", {25, 20}, 3, "Windows size bigger than data available"},
    // The window check comes before the ROI check.
    {"tGetPearsonCorrelation", {0}, 1, "Windows size bigger than data available"},
    {"tGetPartialCorrelation", {-1}, 0, "Windows size bigger(smaller) than data available"},
    {"tGetPearsonCorrelation", {5}, 1, "No ROI selected"},
    {"tGetPearsonCorrelationAtTimePoint", {5, 10}, 1, "No ROI selected"},
    {"tGetPartialCorrelation", {5}, 1, "No ROI selected"},
    {"tGetPartialCorrelationAtTimePoint", {5, 10}, 0, "No ROI selected"},
    {"tGetInstantProxyCorrelation", {5}, 2, "No ROI selected"},
    {"tGetInstantProxyCorrelationAtTimePoint", {5, 10}, 2, "No ROI selected"},
    {"tGetInstantProxyCorrelationAtTimePoint", {5, 10}, 4, "No ROI selected"},
    // The ROI check comes before the time point check.
    {"tGetPearsonCorrelationAtTimePoint", {5, 99}, 1, "No ROI selected"},
    {"tGetPearsonCorrelationAtTimePoint", {5, 21}, 3, "Not enough data points available"},
    {"tGetPartialCorrelationAtTimePoint", {5, 21}, 3, "Not enough data points available"},
    {"tGetInstantProxyCorrelationAtTimePoint", {5, 21}, 3, "Not enough data points available"},
    // A window that would begin before time point 0.
    {"tGetPearsonCorrelationAtTimePoint", {5, 4}, 3, "Not enough data points available"},
    {"tGetPartialCorrelationAtTimePoint", {5, -3}, 3, "Not enough data points available"},
    {"tGetInstantProxyCorrelationAtTimePoint", {5, 0}, 3, "Not enough data points available"},
};

}  // namespace

TEST_F(CorrelationRequests, EveryCheckSendsItsText) {
  for (const CorrelationError& c : kErrors) {
    SCOPED_TRACE(testing::Message() << c.name << " w=" << c.arguments.first() << " rois=" << c.rois);
    setRois(c.rois);
    EXPECT_EQ(execute(c.name, c.arguments), errorReply(c.text));
  }
  EXPECT_TRUE(askedTimes.empty());
}

TEST_F(CorrelationRequests, WindowStartingAtZeroIsServed) {
  ReplyReader in(execute("tGetPearsonCorrelationAtTimePoint", {5, 5}));
  EXPECT_EQ(in.text(), QByteArray("tGetPearsonCorrelationAtTimePoint"));
  EXPECT_EQ(askedTimes, (std::set<int>{0, 1, 2, 3, 4}));
}
