#include "simulator/Protocol.h"

#include <cmath>
#include <utility>

namespace {

double gammaDensity(double t, double shape) {
  if (t <= 0.0) return 0.0;
  return std::exp((shape - 1.0) * std::log(t) - t - std::lgamma(shape));
}

// Long enough for the undershoot to return to baseline.
constexpr double kHrfSeconds = 32.0;

}  // namespace

double canonicalHrf(double seconds) { return gammaDensity(seconds, 6.0) - gammaDensity(seconds, 16.0) / 6.0; }

Protocol::Protocol(int conditions, int blockVolumes, int volumes, double trSeconds)
    : conditions_(conditions < 0 ? 0 : conditions), volumes_(volumes < 0 ? 0 : volumes) {
  if (blockVolumes < 1) blockVolumes = 1;
  conditionOf_.assign(static_cast<size_t>(volumes_), 0);
  std::vector<std::vector<bool>> covered(static_cast<size_t>(conditions_),
                                         std::vector<bool>(static_cast<size_t>(volumes_), false));
  for (int t = 0; t < volumes_ && conditions_ > 0; ++t) {
    const int block = t / blockVolumes;
    if (block % 2 == 0) continue;
    const int c = (block / 2) % conditions_ + 1;
    conditionOf_[static_cast<size_t>(t)] = c;
    covered[static_cast<size_t>(c - 1)][static_cast<size_t>(t)] = true;
  }
  buildMatrix(covered, trSeconds);
}

Protocol::Protocol(const std::vector<std::vector<bool>>& covered, std::vector<int> conditionOfVolume,
                   double trSeconds)
    : conditions_(static_cast<int>(covered.size())),
      volumes_(static_cast<int>(conditionOfVolume.size())),
      conditionOf_(std::move(conditionOfVolume)) {
  buildMatrix(covered, trSeconds);
}

void Protocol::buildMatrix(const std::vector<std::vector<bool>>& covered, double trSeconds) {
  const int p = predictors();
  matrix_.assign(static_cast<size_t>(volumes_) * p, 0.0);

  // The response sampled at the volumes, scaled so that a sustained block
  // settles at 1: a beta is then the block's signal change in data units.
  // A run played as fast as possible keeps the response of a usual TR.
  if (!(trSeconds > 0.0)) trSeconds = 2.0;
  std::vector<double> hrf;
  double sum = 0.0;
  for (double s = 0.0; s < kHrfSeconds && hrf.size() < 100000; s += trSeconds) {
    hrf.push_back(canonicalHrf(s));
    sum += hrf.back();
  }
  if (sum != 0.0)
    for (double& h : hrf) h /= sum;

  for (int c = 0; c < conditions_; ++c) {
    const std::vector<bool>& on = covered[static_cast<size_t>(c)];
    for (int t = 0; t < volumes_; ++t) {
      double v = 0.0;
      for (size_t k = 0; k < hrf.size() && k <= static_cast<size_t>(t); ++k)
        if (on[static_cast<size_t>(t) - k]) v += hrf[k];
      matrix_[static_cast<size_t>(t) * p + c] = v;
    }
  }
  for (int t = 0; t < volumes_; ++t) {
    const double drift = volumes_ > 1 ? -1.0 + 2.0 * t / (volumes_ - 1) : 0.0;
    matrix_[static_cast<size_t>(t) * p + conditions_] = drift;
    matrix_[static_cast<size_t>(t) * p + conditions_ + 1] = 1.0;
  }
}

int Protocol::conditionAt(int t) const {
  if (t < 0 || t >= volumes_) return 0;
  return conditionOf_[static_cast<size_t>(t)];
}

double Protocol::design(int predictor, int t) const {
  if (predictor < 0 || predictor >= predictors() || t < 0 || t >= volumes_) return 0.0;
  return row(t)[predictor];
}
