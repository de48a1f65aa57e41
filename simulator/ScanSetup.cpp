#include "simulator/ScanSetup.h"

#include <cmath>

#include "simulator/BidsRun.h"
#include "simulator/NiftiScan.h"
#include "simulator/ScannerConversion.h"
#include "simulator/SyntheticScan.h"

namespace {

constexpr int kFallbackTrMs = 2000;
// The TRs of real fMRI runs; a header outside is not believed.
constexpr double kPlausibleTrMs[2] = {100.0, 30000.0};
// The host keeps the whole run and the model in memory; beyond this a run is
// refused up front rather than failing half-way through an allocation.
constexpr double kMemoryLimitBytes = 8.0 * 1024 * 1024 * 1024;

bool fitsInMemory(const Scan& scan, const Dims& dims, std::string& error) {
  const double p = scan.protocol->predictors(), k = scan.protocol->conditions();
  const double perVoxel = 2.0 * scan.volumes + 3 * 8.0 * p + 3 * 4.0 * k + 8.0 * (p + 1);
  const double bytes = perVoxel * dims.voxels();
  if (bytes <= kMemoryLimitBytes) return true;
  error = "a run of " + std::to_string(scan.volumes) + " volumes of " + std::to_string(dims.voxels()) +
          " voxels needs about " + std::to_string(static_cast<long long>(bytes / (1 << 20))) +
          " MiB; fewer volumes or smaller --dims, please";
  return false;
}

bool explicitRois(const SimOptions& options, const Dims& dims, std::vector<Roi>& rois, std::string& error) {
  int number = 1;
  for (const auto& b : options.roiBoxes) {
    Roi roi;
    if (!boxRoi("ROI " + std::to_string(number++), dims, {b[0], b[1], b[2]}, {b[3], b[4], b[5]}, roi, error))
      return false;
    rois.push_back(roi);
  }
  for (const std::string& file : options.roiMasks) {
    std::vector<float> mask;
    Roi roi;
    if (!readNiftiMask(file, dims, mask, error) || !maskRoi(file, dims, mask, roi, error)) return false;
    roi.name = "ROI " + std::to_string(number++) + " (" + file + ")";
    rois.push_back(roi);
  }
  return true;
}

// The middle third of the volume in each direction, at least one voxel.
Roi centralBox(const Dims& dims) {
  auto range = [](int n) { return std::pair<int, int>{n / 3, std::max(n / 3, (2 * n) / 3 - 1)}; };
  const auto x = range(dims.x), y = range(dims.y), z = range(dims.z);
  Roi roi;
  std::string unused;
  boxRoi("ROI 1 (centre)", dims, {x.first, y.first, z.first}, {x.second, y.second, z.second}, roi, unused);
  return roi;
}

// Replays the NIfTI file `path`.  `sidecarTrSeconds` (0 if none) is the TR a
// sidecar gives, which the header's yields to; --tr-ms overrides both.
// `undo` puts a converted file's voxels back in the scanner's order.
bool replayNifti(const SimOptions& options, const std::string& path, double sidecarTrSeconds,
                 const ConvertedRun* converted, Scan& scan, std::string& error) {
  std::unique_ptr<NiftiScan> nifti = NiftiScan::open(path, error);
  if (!nifti) return false;
  if (converted != nullptr) nifti->undoConversion(!options.dicom.empty(), converted->origin);
  scan.volumes = nifti->volumes();
  if (options.volumesGiven) {
    if (options.volumes > nifti->volumes())
      scan.notices.push_back("the file has only " + std::to_string(nifti->volumes()) +
                             " volumes; playing those");
    else
      scan.volumes = options.volumes;
  }
  const double tr = sidecarTrSeconds > 0.0 ? sidecarTrSeconds * 1000.0 : nifti->trMilliseconds();
  const char* whence = sidecarTrSeconds > 0.0 ? "sidecar's RepetitionTime" : "file's header";
  if (options.trGiven) {
    scan.trMs = options.trMs;
  } else if (tr > 0.0) {
    // A header whose time unit does not match its TR (2000 "seconds" is a
    // common one) would make a run last for days.
    if (tr < kPlausibleTrMs[0] || tr > kPlausibleTrMs[1]) {
      error = std::string("the ") + whence + " gives a TR of " + std::to_string(std::llround(tr)) +
              " ms, outside 0.1 to 30 s (is its time unit wrong?); give the TR with --tr-ms";
      return false;
    }
    scan.trMs = static_cast<int>(std::lround(tr));
  } else {
    scan.trMs = kFallbackTrMs;
    scan.notices.push_back("the file's header gives no TR; using " + std::to_string(kFallbackTrMs) + " ms");
  }
  if (options.dimsGiven) scan.notices.push_back("--dims is ignored: the file gives the volume size");
  scan.protocol =
      std::make_unique<Protocol>(options.conditions, options.blockVolumes, scan.volumes, scan.trMs / 1000.0);
  if (!explicitRois(options, nifti->dims(), scan.rois, error)) return false;
  if (scan.rois.empty()) scan.rois.push_back(centralBox(nifti->dims()));
  scan.source = std::move(nifti);
  return true;
}

bool setUpBids(const SimOptions& options, Scan& scan, std::string& error) {
  BidsRun run;
  if (!findBidsRun(options.bids, {options.subject, options.session, options.task, options.bidsRun}, run,
                   error) ||
      !replayNifti(options, run.bold, run.trSeconds, nullptr, scan, error))
    return false;
  scan.notices.push_back("BIDS run " + run.bold + ", TR " + std::to_string(scan.trMs) + " ms" +
                         (options.trGiven ? " (--tr-ms)" : " (" + run.sidecar + ")"));
  if (run.events.empty()) {
    scan.notices.push_back(
        "the run has no events file: the block design of --conditions and --block-volumes");
    return true;
  }
  std::vector<std::string> names;
  if (!readBidsEvents(run.events, scan.trMs / 1000.0, scan.volumes, scan.protocol, names, error))
    return false;
  std::string list;
  for (size_t c = 0; c < names.size(); ++c)
    list += (c > 0 ? ", " : "") + std::to_string(c + 1) + " = " + names[c];
  scan.notices.push_back("conditions from " + run.events + ": " + (list.empty() ? "none" : list) +
                         " (0 = none)");
  if (options.conditionsGiven || options.classes > 0)
    scan.notices.push_back("--conditions is ignored: the events file gives the conditions");
  return true;
}

}  // namespace

bool setUpScan(const SimOptions& options, Scan& scan, std::string& error) {
  bool replayed = false;
  if (!options.bids.empty()) {
    if (!setUpBids(options, scan, error)) return false;
    replayed = true;
  } else if (!options.dicom.empty() || !options.parrec.empty()) {
    ConvertedRun converted;
    const bool ok =
        (!options.dicom.empty() ? convertDicomFolder(options.dicom, options.series, converted, error)
                                : convertParRec(options.parrec, converted, error)) &&
        replayNifti(options, converted.nifti, converted.trSeconds, &converted, scan, error);
    // The replay holds the whole run in memory: dcm2niix's files can go.
    removeConversion(converted);
    if (!ok) return false;
    scan.notices.push_back("replaying " + converted.origin);
    replayed = true;
  } else if (!options.nifti.empty()) {
    if (!replayNifti(options, options.nifti, 0.0, nullptr, scan, error)) return false;
    replayed = true;
  }
  if (replayed) return fitsInMemory(scan, scan.source->dims(), error);
  scan.volumes = options.volumes;
  scan.trMs = options.trMs;
  scan.protocol =
      std::make_unique<Protocol>(options.conditions, options.blockVolumes, scan.volumes, scan.trMs / 1000.0);
  if (!fitsInMemory(scan, options.dims, error)) return false;
  if (!explicitRois(options, options.dims, scan.rois, error)) return false;
  if (options.roiBoxes.empty() && options.roiMasks.empty())
    scan.rois = SyntheticScan::defaultRois(options.dims, options.rois);
  SyntheticScanSettings settings;
  settings.dims = options.dims;
  settings.volumes = scan.volumes;
  settings.seed = options.seed;
  settings.noise = options.noise;
  settings.activationPercent = options.activationPercent;
  scan.source = std::make_unique<SyntheticScan>(settings, scan.rois, *scan.protocol);
  return true;
}
