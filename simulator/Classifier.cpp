#include "simulator/Classifier.h"

#include <cstddef>
#include <limits>

Classifier::Classifier(int classes, int features, int lagVolumes)
    : classes_(classes > 1 ? classes : 0), features_(features), lag_(lagVolumes < 0 ? 0 : lagVolumes) {
  sums_.assign(static_cast<size_t>(classes_), std::vector<double>(static_cast<size_t>(features_), 0.0));
  counts_.assign(static_cast<size_t>(classes_), 0);
}

int Classifier::numberOfClasses() const {
  if (!enabled()) return kNotUsed;
  return trained() ? classes_ : 0;
}

bool Classifier::trained() const {
  for (int c : counts_)
    if (c == 0) return false;
  return classes_ > 0;
}

void Classifier::addVolume(const std::vector<double>& features, int labelOfLaggedVolume) {
  if (!enabled()) return;
  current_ = features;
  history_.push_back(features);
  if (history_.size() > static_cast<size_t>(lag_) + 1) history_.erase(history_.begin());
  if (history_.size() == static_cast<size_t>(lag_) + 1 && labelOfLaggedVolume >= 0 &&
      labelOfLaggedVolume < classes_) {
    const std::vector<double>& example = history_.front();
    std::vector<double>& sum = sums_[static_cast<size_t>(labelOfLaggedVolume)];
    for (int f = 0; f < features_ && f < static_cast<int>(example.size()); ++f)
      sum[static_cast<size_t>(f)] += example[static_cast<size_t>(f)];
    ++counts_[static_cast<size_t>(labelOfLaggedVolume)];
  }
}

int Classifier::output(float* out) const {
  if (!trained() || current_.empty()) {
    for (int k = 0; k < pairs(); ++k) out[k] = 0.0f;
    return -1;
  }
  std::vector<double> distance(static_cast<size_t>(classes_), 0.0);
  for (int c = 0; c < classes_; ++c)
    for (int f = 0; f < features_; ++f) {
      const double centroid =
          sums_[static_cast<size_t>(c)][static_cast<size_t>(f)] / counts_[static_cast<size_t>(c)];
      const double d = current_[static_cast<size_t>(f)] - centroid;
      distance[static_cast<size_t>(c)] += d * d;
    }
  int k = 0, best = 0;
  for (int i = 0; i < classes_; ++i)
    for (int j = i + 1; j < classes_; ++j)
      out[k++] = static_cast<float>(distance[static_cast<size_t>(j)] - distance[static_cast<size_t>(i)]);
  double bestDistance = std::numeric_limits<double>::infinity();
  for (int c = 0; c < classes_; ++c)
    if (distance[static_cast<size_t>(c)] < bestDistance) {
      bestDistance = distance[static_cast<size_t>(c)];
      best = c;
    }
  return best;
}
