// The C++ client against the real plug-in inside the simulated host: every
// family of request during a short run, checked against values computed here
// from the raw data the same connection delivers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "nmbclient/Client.h"
#include "tests/support/FreePort.h"
#include "nmbclient/Discovery.h"
#include "nmbclient/Errors.h"
#include "nmbclient/Helpers.h"
#include "nmbclient/Subscription.h"

extern char** environ;

using namespace std::chrono_literals;

namespace {

constexpr int kVolumes = 14;
constexpr int kRois = 3;
constexpr int kClasses = 3;


// The simulated host with the plug-in, started for one test and stopped by its pid.
class Simulator {
 public:
  explicit Simulator(std::uint16_t port) {
    std::vector<std::string> args = {
        NMB_SIM_PATH,   "--port", std::to_string(port),  "--volumes", std::to_string(kVolumes),
        "--tr-ms",      "300",    "--start-delay-ms",    "1500",      "--linger-ms",
        "20000",        "--rois", std::to_string(kRois), "--classes", std::to_string(kClasses),
        "--conditions", "3",      "--block-volumes",     "2",         "--project",
        "client-e2e"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    if (posix_spawn(&pid_, argv[0], &files, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&files);
  }
  ~Simulator() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 300 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(10ms);
    if (::waitpid(pid_, &status, WNOHANG) == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
  }
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

template <typename Connection>
std::optional<Connection> connectWithin(std::uint16_t port, std::chrono::milliseconds patience) {
  const auto until = std::chrono::steady_clock::now() + patience;
  for (;;) {
    try {
      return Connection("127.0.0.1", port, 2s);
    } catch (const nmb::ConnectionError&) {
      if (std::chrono::steady_clock::now() > until) return std::nullopt;
      std::this_thread::sleep_for(20ms);
    }
  }
}

double pearson(const std::vector<double>& x, const std::vector<double>& y) {
  double mx = 0, my = 0;
  for (std::size_t i = 0; i < x.size(); ++i) mx += x[i], my += y[i];
  mx /= x.size();
  my /= y.size();
  double sxy = 0, sxx = 0, syy = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    sxy += (x[i] - mx) * (y[i] - my);
    sxx += (x[i] - mx) * (x[i] - mx);
    syy += (y[i] - my) * (y[i] - my);
  }
  return sxy / std::sqrt(sxx * syy);
}

std::string refusal(const std::function<void()>& request) {
  try {
    request();
  } catch (const nmb::NimbrelError& e) {
    return e.text();
  }
  return "<answered>";
}

}  // namespace

TEST(ClientAgainstSimulator, ServesEveryRequestFamilyDuringARun) {
  const std::uint16_t port = freeTcpPort();
  Simulator simulator(port);
  ASSERT_TRUE(simulator.started());
  std::optional<nmb::Client> connected = connectWithin<nmb::Client>(port, 10s);
  ASSERT_TRUE(connected.has_value()) << "the simulator did not serve on port " << port;
  nmb::Client& client = *connected;
  std::optional<nmb::Subscription> steps = connectWithin<nmb::Subscription>(port, 5s);
  ASSERT_TRUE(steps.has_value());

  EXPECT_EQ(client.serverVersion(), (std::array<std::int32_t, 3>{2, 0, 0}));
  EXPECT_EQ(client.projectName(), "client-e2e");
  EXPECT_EQ(client.nrOfRois(), kRois);
  EXPECT_EQ(client.expectedNrOfTimePoints(), kVolumes);
  const nmb::Dims dims = client.dimsOfFunctionalData();
  ASSERT_GT(dims.voxels(), 0);

  std::vector<std::vector<nmb::VoxelCoords>> coords(kRois);
  for (int r = 0; r < kRois; ++r) {
    coords[r] = client.allCoordsOfVoxelsOfRoi(r);
    ASSERT_EQ(static_cast<std::int32_t>(coords[r].size()), client.nrOfVoxelsOfRoi(r));
    ASSERT_FALSE(coords[r].empty());
    EXPECT_EQ(client.coordsOfVoxelOfRoi(r, 0), coords[r][0]);
  }
  EXPECT_EQ(refusal([&] { client.meanOfRoi(kRois); }), "NrOfROI out of range");
  EXPECT_EQ(refusal([&] { client.request("tGetNothingAtAll"); }), "No function call matched!");

  // Follow the run: at every post-step the means of all ROIs, in one round trip.
  int steps_seen = 0;
  int lastTimePoint = 0;
  while (auto n = steps->waitForPostStep(5s)) {
    ++steps_seen;
    lastTimePoint = n->timePoint;
    const std::vector<float> means = client.meansOfAllRois();
    ASSERT_EQ(means.size(), static_cast<std::size_t>(kRois));
    EXPECT_GE(client.lastReceiveTime(), n->received);
    if (n->timePoint >= kVolumes) break;
  }
  EXPECT_GE(steps_seen, kVolumes - 2);
  ASSERT_EQ(lastTimePoint, kVolumes);
  const std::optional<nmb::Notification> end = steps->next(5s);
  ASSERT_TRUE(end.has_value());
  EXPECT_TRUE(end->isPostRun());
  EXPECT_EQ(end->timePoint, kVolumes);

  // After the run: each ROI mean recomputed here from the volumes themselves.
  const int t = kVolumes - 1;
  std::vector<std::vector<double>> series(kRois);
  for (int r = 0; r < kRois; ++r) {
    const std::vector<float> existing = client.existingMeansOfRoi(r, t);
    ASSERT_EQ(existing.size(), static_cast<std::size_t>(t));
    for (float v : existing) series[r].push_back(v);
  }
  for (int tp : {0, t / 2, t - 1}) {
    const std::vector<std::int16_t> volume = client.valueOfAllVoxelsAtTime(tp);
    ASSERT_EQ(static_cast<std::int64_t>(volume.size()), dims.voxels());
    EXPECT_EQ(client.rawValueOfAllVoxelsAtTime(tp).size(), volume.size());
    for (int r = 0; r < kRois; ++r) {
      float sum = 0;
      for (const nmb::VoxelCoords& c : coords[r])
        sum += volume[nmb::voxelIndex(c.x, c.y, c.z, dims.x, dims.y)];
      const float expected = sum / static_cast<float>(coords[r].size());
      EXPECT_NEAR(client.meanOfRoiAtTimePoint(r, tp), expected, 1e-3f * std::fabs(expected))
          << r << "@" << tp;
      EXPECT_NEAR(series[r][tp], expected, 1e-3f * std::fabs(expected)) << r << "@" << tp;
      const nmb::VoxelCoords& c = coords[r][0];
      EXPECT_EQ(client.valueOfVoxelAtTime(c.x, c.y, c.z, tp),
                volume[nmb::voxelIndex(c.x, c.y, c.z, dims.x, dims.y)]);
    }
  }

  // Correlations over the last 8 time points before t, against the same series.
  const int w = 8;
  std::vector<std::vector<double>> window(kRois);
  for (int r = 0; r < kRois; ++r) window[r].assign(series[r].end() - w, series[r].end());
  const double r01 = pearson(window[0], window[1]), r02 = pearson(window[0], window[2]),
               r12 = pearson(window[1], window[2]);
  const std::vector<float> pearsonPairs = client.pearsonCorrelationAtTimePoint(w, t);
  ASSERT_EQ(pearsonPairs.size(), 3u);
  EXPECT_NEAR(pearsonPairs[0], r01, 1e-4);
  EXPECT_NEAR(pearsonPairs[1], r02, 1e-4);
  EXPECT_NEAR(pearsonPairs[2], r12, 1e-4);
  const nmb::SquareMatrix m = nmb::pairMatrix(pearsonPairs);
  EXPECT_EQ(m.at(2, 1), pearsonPairs[2]);
  const std::vector<float> partial = client.partialCorrelationAtTimePoint(w, t);
  ASSERT_EQ(partial.size(), 3u);
  EXPECT_NEAR(partial[0], (r01 - r02 * r12) / std::sqrt((1 - r02 * r02) * (1 - r12 * r12)), 1e-3);
  EXPECT_NEAR(client.instantProxyCorrelationAtTimePoint(w, t), r01 - (r02 + r12) / 2, 1e-4);
  EXPECT_EQ(client.pearsonCorrelation(w).size(), 3u);
  EXPECT_EQ(refusal([&] { client.pearsonCorrelation(0); }), "Windows size bigger than data available");
  EXPECT_EQ(refusal([&] { client.partialCorrelation(kVolumes + 1); }),
            "Windows size bigger(smaller) than data available");

  // Between runs the plain forms end their window at the last time point,
  // so they agree with the explicit form for it.
  EXPECT_EQ(client.currentTimePoint(), kVolumes);
  EXPECT_EQ(client.pearsonCorrelation(w), client.pearsonCorrelationAtTimePoint(w, kVolumes));
  const std::vector<float> partialNow = client.partialCorrelation(w);
  const std::vector<float> partialAt = client.partialCorrelationAtTimePoint(w, kVolumes);
  ASSERT_EQ(partialNow.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_FLOAT_EQ(partialNow[i], partialAt[i]);
  EXPECT_FLOAT_EQ(client.instantProxyCorrelation(w), client.instantProxyCorrelationAtTimePoint(w, kVolumes));

  // Maps: sizes follow the counts the plug-in reports, single values match the
  // whole maps (beta-major: all voxels of beta 0, then of beta 1, ...).
  const std::vector<float> betas = client.betaMaps();
  const std::int32_t predictors = client.currentNrOfPredictors();
  ASSERT_GT(predictors, 0);
  ASSERT_EQ(static_cast<std::int64_t>(betas.size()), dims.voxels() * predictors);
  const nmb::VoxelCoords& v = coords[0][0];
  const std::int64_t index = nmb::voxelIndex(v.x, v.y, v.z, dims.x, dims.y);
  EXPECT_EQ(client.betaOfVoxel(predictors - 1, v.x, v.y, v.z),
            betas[(predictors - 1) * dims.voxels() + index]);
  double roiBeta = 0;
  for (const nmb::VoxelCoords& c : coords[0])
    roiBeta += betas[nmb::voxelIndex(c.x, c.y, c.z, dims.x, dims.y)];
  roiBeta /= coords[0].size();
  EXPECT_NEAR(client.betaOfRoi(0, 0), roiBeta, 1e-4 * std::fabs(roiBeta) + 1e-6);
  const std::vector<float> contrasts = client.contrastMaps();
  const std::int32_t nrOfContrasts = client.nrOfContrasts();
  ASSERT_EQ(static_cast<std::int64_t>(contrasts.size()), dims.voxels() * nrOfContrasts);
  if (nrOfContrasts > 0) {
    EXPECT_EQ(client.mapValueOfVoxel(0, v.x, v.y, v.z), contrasts[index]);
  }
  EXPECT_EQ(refusal([&] { client.betaOfVoxel(predictors, v.x, v.y, v.z); }), "NrOfBeta out of range");
  EXPECT_EQ(refusal([&] { client.valueOfDesignMatrix(0, kVolumes + 1); }), "NrOfTimePoint out of range");
  EXPECT_TRUE(std::isfinite(client.valueOfDesignMatrix(0, 0)));
  EXPECT_TRUE(std::isfinite(client.detrendedValueOfRoi(0)));
  EXPECT_GE(client.nrOfConfoundPredictors(), 0);
  EXPECT_GE(client.currentProtocolCondition(), 0);
  EXPECT_FALSE(client.watchFolder().empty());
  EXPECT_FALSE(client.targetFolder().empty());
  EXPECT_FALSE(client.feedbackFolder().empty());
  const std::int32_t classes = client.numberOfClasses();
  if (classes > 0) {
    const nmb::ClassifierOutput out = client.currentClassifierOutput();
    EXPECT_TRUE(out.produced);
    EXPECT_EQ(out.values.size(), static_cast<std::size_t>(classes * (classes - 1) / 2));
  } else {
    EXPECT_NE(refusal([&] { client.currentClassifierOutput(); }), "<answered>");
  }
}

TEST(ClientAgainstSimulator, DiscoversTheAnnouncedPort) {
  const std::uint16_t port = freeTcpPort();
  Simulator simulator(port);
  ASSERT_TRUE(simulator.started());
  // The listener announces itself about once a second while it waits.
  bool heard = false;
  for (int attempt = 0; attempt < 3 && !heard; ++attempt)
    for (const nmb::Announcement& a : nmb::discover(2500ms)) heard = heard || a.port == port;
  EXPECT_TRUE(heard);
}
