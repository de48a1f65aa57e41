// Command-line options of nimbrel-sim.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "simulator/Volume.h"

struct SimOptions {
  std::string plugin;    // empty: the library built beside the simulator
  std::string settings;  // --settings FILE: NMBNetworkPlugin.ini for this run
  int runs = 1;
  int volumes = 200;  // NIfTI replay: at most the file's volumes
  bool volumesGiven = false;
  int trMs = 2000;  // NIfTI replay: the header's TR unless given
  bool trGiven = false;
  int startDelayMs = -1;  // before the first volume of each run; -1: one TR
  // With exitWhenDone: serving after the last run, before the end. Nimbrel keeps
  // the plug-in loaded after a run; a second lets clients read the last volume,
  // which they ask for as its post-run comes.
  int lingerMs = 1000;
  bool exitWhenDone = false;  // false: keep serving after the last run until Ctrl-C
  std::string faults;         // --faults LIST, checked by parseFaults
  int versionMajor = 3, versionMinor = 1, versionSubversion = 0;
  int port = -1;  // -1: ask on a terminal, else the dialog's default
  std::uint64_t seed = 1;
  Dims dims{64, 64, 30};
  bool dimsGiven = false;
  int rois = 3;
  std::vector<std::array<int, 6>> roiBoxes;
  std::vector<std::string> roiMasks;
  std::string nifti;
  // BIDS replay: a tree and the entities that pick one run, or a *_bold.nii[.gz] in one.
  std::string bids, subject, session, task, bidsRun;
  // DICOM (one series folder, --series picks among several) and PAR/REC replay.
  std::string dicom, parrec;
  int series = -1;  // -1: the folder's only series
  // The scanner's trigger.
  std::string triggerTty;  // a link to a pseudo-terminal's other end
  int triggerUdp = 0;      // 0: none
  char triggerByte = '5';
  int processingDelayMs = 0;  // from a volume's trigger to the host's pre-step for it
  std::string startOn;        // "", "enter", "clients=N" or "trigger-ack"
  int conditions = 1;
  bool conditionsGiven = false;
  int blockVolumes = 10;
  double noise = 10.0;
  double activationPercent = 3.0;
  int classes = 0;
  bool rawLog = false;
  std::string client;  // command started once the plug-in serves
  std::string projectName = "nimbrel-sim";
  std::string watchFolder, targetFolder, feedbackFolder;  // empty: defaults
};

enum class ParseResult { Run, Help, Error };

// Parses argv[1..argc-1].  On Error, `error` says what is wrong in one line.
ParseResult parseOptions(int argc, const char* const* argv, SimOptions& options, std::string& error);

// The --help text.
std::string usageText();

// The whole of `text` as a decimal integer from `low` to `high`; false (and
// `value` unchanged) for anything else.
bool parseLong(const std::string& text, long long low, long long high, long long& value);
// The whole of `text` as a number from `low` to `high`.
bool parseDouble(const std::string& text, double low, double high, double& value);

// The answer to the port dialog that means "cancelled".
inline constexpr int kPortCancelAnswer = 49151;
