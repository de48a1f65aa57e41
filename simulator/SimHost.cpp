#include "simulator/SimHost.h"

#include <algorithm>
#include <cstring>

#include "plugin/HostFunctions.h"
#include "simulator/Detrend.h"

namespace {

void copyText(char* buffer, int capacity, const std::string& text) {
  if (buffer == nullptr) return;
  const size_t n = std::min(text.size(), static_cast<size_t>(capacity - 1));
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

}  // namespace

SimHost& SimHost::instance() {
  static SimHost host;
  return host;
}

void SimHost::configure(const HostSettings& settings, const ScanSource* source, const Protocol* protocol,
                        std::vector<Roi> rois, int volumesPerRun) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_ = settings;
  source_ = source;
  protocol_ = protocol;
  rois_ = std::move(rois);
  dims_ = source->dims();
  volumesPerRun_ = volumesPerRun;
  const size_t voxels = static_cast<size_t>(dims_.voxels());
  // The memory grows with the volumes that arrive, not with the run's length.
  volumes_.clear();
  volumes_.resize(static_cast<size_t>(volumesPerRun_));
  rows_.assign(static_cast<size_t>(volumesPerRun_), nullptr);
  const int p = protocol_->predictors();
  const int k = protocol_->conditions();
  contrasts_.clear();
  for (int c = 0; c < k; ++c) {
    std::vector<double> weights(static_cast<size_t>(p), 0.0);
    weights[static_cast<size_t>(c)] = 1.0;
    contrasts_.push_back(weights);
  }
  for (auto& maps : betaMaps_) maps.assign(static_cast<size_t>(p) * voxels, 0.0);
  // Never empty, so that the pointer handed out is never null, even without
  // contrasts or voxels.
  for (auto& maps : betaMaps_) maps.resize(std::max<size_t>(maps.size(), 1));
  for (auto& maps : contrastMaps_) maps.assign(std::max<size_t>(static_cast<size_t>(k) * voxels, 1), 0.0f);
  published_ = 0;
  run_ = arrived_ = processed_ = 0;
  glm_ = std::make_unique<IncrementalGlm>(p, dims_.voxels());
  classifier_ = std::make_unique<Classifier>(settings_.classes, static_cast<int>(rois_.size()),
                                             settings_.classifierLag);
  roiMeans_.assign(rois_.size(), 0.0f);
  roiDetrended_.assign(rois_.size(), 0.0f);
  roiSeries_.assign(rois_.size(), {});
}

void SimHost::beginRun(int run) {
  std::lock_guard<std::mutex> lock(mutex_);
  run_ = run;
  arrived_ = processed_ = 0;
  glm_ = std::make_unique<IncrementalGlm>(protocol_->predictors(), dims_.voxels());
  classifier_ = std::make_unique<Classifier>(settings_.classes, static_cast<int>(rois_.size()),
                                             settings_.classifierLag);
  roiMeans_.assign(rois_.size(), 0.0f);
  roiDetrended_.assign(rois_.size(), 0.0f);
  roiSeries_.assign(rois_.size(), {});
}

bool SimHost::acquireVolume(const VolumeSpoil& spoil) {
  // The source writes into the row, and the spoiling is done, before the time
  // point makes it visible.
  int index;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (arrived_ >= volumesPerRun_) return false;
    index = arrived_;
    std::unique_ptr<short[]>& volume = volumes_[static_cast<size_t>(index)];
    if (volume == nullptr) {
      volume.reset(new short[static_cast<size_t>(dims_.voxels())]());
      rows_[static_cast<size_t>(index)] = volume.get();
    }
  }
  source_->volume(run_, index, rows_[static_cast<size_t>(index)]);
  if (spoil.any()) spoil.apply(dims_, rows_[static_cast<size_t>(index)]);
  std::lock_guard<std::mutex> lock(mutex_);
  ++arrived_;
  return true;
}

void SimHost::processVolume() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (processed_ >= arrived_) return;
  const int t = processed_++;
  const short* volume = rows_[static_cast<size_t>(t)];
  for (size_t r = 0; r < rois_.size(); ++r) {
    float sum = 0.0f;
    for (int i : rois_[r].indices) sum += static_cast<float>(volume[i]);
    roiMeans_[r] = rois_[r].indices.empty() ? 0.0f : sum / static_cast<float>(rois_[r].indices.size());
    roiSeries_[r].push_back(roiMeans_[r]);
    roiDetrended_[r] = static_cast<float>(detrendedLastValue(roiSeries_[r]));
  }
  glm_->add(protocol_->row(t), volume);
  const int next = (published_ + 1) % kMapBuffers;
  glm_->estimate(betaMaps_[static_cast<size_t>(next)].data());
  const size_t voxels = static_cast<size_t>(dims_.voxels());
  for (size_t c = 0; c < contrasts_.size(); ++c)
    glm_->contrastT(contrasts_[c], betaMaps_[static_cast<size_t>(next)].data(),
                    &contrastMaps_[static_cast<size_t>(next)][c * voxels]);
  published_ = next;
  std::vector<double> features(roiDetrended_.begin(), roiDetrended_.end());
  classifier_->addVolume(features, protocol_->conditionAt(t - classifier_->lagVolumes()));
}

int SimHost::volumesArrived() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return arrived_;
}

int SimHost::volumesPerRun() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return volumesPerRun_;
}

bool SimHost::counts31() const {
  return settings_.versionMajor > 3 || (settings_.versionMajor == 3 && settings_.versionMinor >= 1);
}

const Roi* SimHost::roiAt(int roi) const {
  if (roi < 0 || roi >= static_cast<int>(rois_.size())) return nullptr;
  return &rois_[static_cast<size_t>(roi)];
}

void SimHost::versionOfNMB(int* major, int* minor, int* subversion) const {
  if (major) *major = settings_.versionMajor;
  if (minor) *minor = settings_.versionMinor;
  if (subversion) *subversion = settings_.versionSubversion;
}

void SimHost::nmbPath(char* buffer) const { copyText(buffer, kHostPathBufferSize, settings_.programFolder); }
void SimHost::pluginsPath(char* buffer) const {
  copyText(buffer, kHostPathBufferSize, settings_.pluginsFolder);
}

void SimHost::logText(const char* text) const {
  if (settings_.logText) settings_.logText(text ? text : "");
}

void SimHost::messageBox(const char* text) const {
  if (settings_.messageBox) settings_.messageBox(text ? text : "");
}

int SimHost::integerInput(const char* prompt, int defaultValue, int minValue, int maxValue) const {
  if (settings_.integerInput)
    return settings_.integerInput(prompt ? prompt : "", defaultValue, minValue, maxValue);
  return defaultValue;
}

int SimHost::currentTimePoint() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (arrived_ == 0) return 0;
  return counts31() ? arrived_ : arrived_ - 1;
}

int SimHost::expectedNrOfTimePoints() const { return volumesPerRun(); }

void SimHost::dimsOfFunctionalData(int* x, int* y, int* z) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (x) *x = dims_.x;
  if (y) *y = dims_.y;
  if (z) *z = dims_.z;
}

void SimHost::projectName(char* buffer) const {
  copyText(buffer, kProjectNameBufferSize, settings_.projectName);
}
void SimHost::watchFolder(char* buffer) const { copyText(buffer, kFolderBufferSize, settings_.watchFolder); }
void SimHost::targetFolder(char* buffer) const {
  copyText(buffer, kFolderBufferSize, settings_.targetFolder);
}
void SimHost::feedbackFolder(char* buffer) const {
  copyText(buffer, kFolderBufferSize, settings_.feedbackFolder);
}

int SimHost::currentProtocolCondition() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return arrived_ == 0 ? 0 : protocol_->conditionAt(arrived_ - 1);
}

int SimHost::fullNrOfPredictors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return protocol_->predictors();
}

int SimHost::currentNrOfPredictors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return processed_ > 0 ? protocol_->predictors() : 0;
}

int SimHost::nrOfConfoundPredictors() const { return Protocol::kConfoundPredictors; }

float SimHost::valueOfDesignMatrix(int predictor, int timePoint) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<float>(protocol_->design(predictor, timePoint));
}

int SimHost::nrOfContrasts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(contrasts_.size());
}

int SimHost::nrOfROIs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(rois_.size());
}

float SimHost::meanOfROI(int roi) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return roiAt(roi) ? roiMeans_[static_cast<size_t>(roi)] : 0.0f;
}

float SimHost::detrendedValueOfROI(int roi) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return roiAt(roi) ? roiDetrended_[static_cast<size_t>(roi)] : 0.0f;
}

int SimHost::nrOfVoxelsOfROI(int roi) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Roi* found = roiAt(roi);
  return found ? static_cast<int>(found->voxels.size()) : 0;
}

float SimHost::betaOfROI(int roi, int beta) const {
  // The GLM is linear in the data, so the beta of the ROI's mean time course
  // is the mean of its voxels' betas.
  std::lock_guard<std::mutex> lock(mutex_);
  const Roi* found = roiAt(roi);
  if (!found || found->indices.empty() || beta < 0 || beta >= protocol_->predictors()) return 0.0f;
  const double* maps =
      betaMaps_[static_cast<size_t>(published_)].data() + static_cast<size_t>(beta) * dims_.voxels();
  double sum = 0.0;
  for (int i : found->indices) sum += maps[i];
  return static_cast<float>(sum / static_cast<double>(found->indices.size()));
}

bool SimHost::coordsOfVoxelOfROI(int roi, int voxel, int* x, int* y, int* z) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Roi* found = roiAt(roi);
  if (!found || voxel < 0 || voxel >= static_cast<int>(found->voxels.size()) || !x || !y || !z) return false;
  const Coord& c = found->voxels[static_cast<size_t>(voxel)];
  *x = c[0];
  *y = c[1];
  *z = c[2];
  return true;
}

float SimHost::valueOfVoxelAtTime(int x, int y, int z, int timePoint) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!dims_.contains(x, y, z) || timePoint < 0 || timePoint >= arrived_) return 0.0f;
  return static_cast<float>(rows_[static_cast<size_t>(timePoint)][dims_.index(x, y, z)]);
}

short** SimHost::timeCourseData() {
  std::lock_guard<std::mutex> lock(mutex_);
  return rows_.empty() ? nullptr : rows_.data();
}

double SimHost::betaOfVoxel(int beta, int x, int y, int z) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!dims_.contains(x, y, z) || beta < 0 || beta >= protocol_->predictors()) return 0.0;
  return betaMaps_[static_cast<size_t>(published_)]
                  [static_cast<size_t>(beta) * dims_.voxels() + dims_.index(x, y, z)];
}

double* SimHost::betaMaps() {
  std::lock_guard<std::mutex> lock(mutex_);
  return betaMaps_[static_cast<size_t>(published_)].data();
}

float SimHost::mapValueOfVoxel(int map, int x, int y, int z) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!dims_.contains(x, y, z) || map < 0 || map >= static_cast<int>(contrasts_.size())) return 0.0f;
  return contrastMaps_[static_cast<size_t>(published_)]
                      [static_cast<size_t>(map) * dims_.voxels() + dims_.index(x, y, z)];
}

float* SimHost::contrastMaps() {
  std::lock_guard<std::mutex> lock(mutex_);
  return contrastMaps_[static_cast<size_t>(published_)].data();
}

int SimHost::numberOfClasses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return classifier_ ? classifier_->numberOfClasses() : Classifier::kNotUsed;
}

int SimHost::currentClassifierOutput(float* buffer) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!classifier_ || !classifier_->enabled()) return -1;
  std::vector<float> out(static_cast<size_t>(classifier_->pairs()));
  const int result = classifier_->output(out.data());
  if (buffer) std::copy(out.begin(), out.end(), buffer);
  return result;
}
