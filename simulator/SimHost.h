// SimHost: the simulated Nimbrel's state and processing behind the 45 host
// functions (HostExports.cpp forwards every export to the one instance).
//
// Threads: the run driver calls configure, beginRun, acquireVolume and
// processVolume on the host's thread; the plug-in calls the query functions
// from its channel threads at any time.  Every member function takes the one
// state mutex, except the user-interaction callbacks (log, message box,
// integer input), which may block on the user and are set in configure only.
//
// Arrays handed out by pointer stay valid for the life of the host: the time
// course table has a row for every volume of a run, each allocated when its
// volume first arrives and kept for the next runs, and the beta and contrast
// maps rotate through three buffers that are allocated once, so a buffer the
// plug-in got a pointer to is not written again until two more volumes have
// been processed.
//
// Time points: a 3.1 (or later) host reports time point n after the n-th
// volume of the run (1 after the first); a 3.0 host reports n - 1 (0 after the
// first).  Data of volume v are addressed by time point v in both cases:
// tGetValueOfVoxelAtTime(.., v), tGetTimeCourseData()[v], design row v.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "simulator/Classifier.h"
#include "simulator/Glm.h"
#include "simulator/Protocol.h"
#include "simulator/Roi.h"
#include "simulator/ScanSource.h"
#include "simulator/VolumeSpoil.h"

struct HostSettings {
  int versionMajor = 3, versionMinor = 1, versionSubversion = 0;
  std::string programFolder, pluginsFolder;
  std::string projectName = "nimbrel-sim";
  std::string watchFolder, targetFolder, feedbackFolder;
  int classes = 0;        // 0: classifier not used
  int classifierLag = 2;  // volumes between stimulus and learnt response
  // The user's side; called without the state lock, possibly from any thread.
  std::function<void(const char*)> logText;
  std::function<void(const char*)> messageBox;
  std::function<int(const char* prompt, int defaultValue, int minValue, int maxValue)> integerInput;
};

class SimHost {
 public:
  static SimHost& instance();

  // Sets everything up for runs of `volumesPerRun` volumes; the source and the
  // protocol must outlive the host's use.  Called before the plug-in is loaded.
  void configure(const HostSettings& settings, const ScanSource* source, const Protocol* protocol,
                 std::vector<Roi> rois, int volumesPerRun);

  // Start of run `run` (0-based): no volume yet, fresh model.
  void beginRun(int run);
  // The next volume arrives from the scanner, spoiled as `spoil` says: the
  // time point advances.  Returns false when the run already has all its
  // volumes.
  bool acquireVolume(const VolumeSpoil& spoil = VolumeSpoil());
  // The host's own processing of the newest volume: ROI means, detrending,
  // GLM, maps, classifier.
  void processVolume();

  int volumesArrived() const;
  int volumesPerRun() const;
  const HostSettings& settings() const { return settings_; }

  // --- The host functions (argument and result contracts of the exports). ---
  void versionOfNMB(int* major, int* minor, int* subversion) const;
  void nmbPath(char* buffer) const;
  void pluginsPath(char* buffer) const;
  void logText(const char* text) const;
  void messageBox(const char* text) const;
  int integerInput(const char* prompt, int defaultValue, int minValue, int maxValue) const;
  int currentTimePoint() const;
  int expectedNrOfTimePoints() const;
  void dimsOfFunctionalData(int* x, int* y, int* z) const;
  void projectName(char* buffer) const;
  void watchFolder(char* buffer) const;
  void targetFolder(char* buffer) const;
  void feedbackFolder(char* buffer) const;
  int currentProtocolCondition() const;
  int fullNrOfPredictors() const;
  int currentNrOfPredictors() const;
  int nrOfConfoundPredictors() const;
  float valueOfDesignMatrix(int predictor, int timePoint) const;
  int nrOfContrasts() const;
  int nrOfROIs() const;
  float meanOfROI(int roi) const;
  float detrendedValueOfROI(int roi) const;
  int nrOfVoxelsOfROI(int roi) const;
  float betaOfROI(int roi, int beta) const;
  bool coordsOfVoxelOfROI(int roi, int voxel, int* x, int* y, int* z) const;
  float valueOfVoxelAtTime(int x, int y, int z, int timePoint) const;
  short** timeCourseData();
  double betaOfVoxel(int beta, int x, int y, int z) const;
  double* betaMaps();
  float mapValueOfVoxel(int map, int x, int y, int z) const;
  float* contrastMaps();
  int numberOfClasses() const;
  int currentClassifierOutput(float* buffer) const;

 private:
  static constexpr int kMapBuffers = 3;

  bool counts31() const;
  const Roi* roiAt(int roi) const;

  mutable std::mutex mutex_;
  HostSettings settings_;
  const ScanSource* source_ = nullptr;
  const Protocol* protocol_ = nullptr;
  std::vector<Roi> rois_;
  Dims dims_;
  int volumesPerRun_ = 0;
  int run_ = 0;
  int arrived_ = 0;
  int processed_ = 0;

  // Volume v's samples, once it has arrived in some run; rows_ points to them
  // (null before), and is what tGetTimeCourseData hands out.
  std::vector<std::unique_ptr<short[]>> volumes_;
  std::vector<short*> rows_;
  std::array<std::vector<double>, kMapBuffers> betaMaps_;
  std::array<std::vector<float>, kMapBuffers> contrastMaps_;
  int published_ = 0;

  std::unique_ptr<IncrementalGlm> glm_;
  std::vector<std::vector<double>> contrasts_;
  std::unique_ptr<Classifier> classifier_;
  std::vector<float> roiMeans_, roiDetrended_;
  std::vector<std::vector<double>> roiSeries_;
};
