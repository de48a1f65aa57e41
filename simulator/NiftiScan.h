// Replay of a recorded 4D NIfTI run (read with the NIfTI reference library).
//
// The whole file is read when the source is opened.  16-bit integer data are
// served exactly as stored (the header's scaling is not applied, as a scanner
// delivers raw integers); other data types are scaled by the header's
// slope/intercept and rounded into the 16-bit range.  The TR comes from the
// header's fourth pixel dimension in its time unit.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "simulator/ScanSource.h"

class NiftiScan : public ScanSource {
 public:
  // Opens `path`; null with `error` set when the file cannot be read or is not
  // a 3D/4D volume series.
  static std::unique_ptr<NiftiScan> open(const std::string& path, std::string& error);

  Dims dims() const override { return dims_; }
  int volumes() const override { return volumes_; }
  double trMilliseconds() const override { return trMs_; }
  void volume(int run, int index, short* out) const override;
  std::string description() const override;

  // Puts the voxels of a file that dcm2niix converted back in the order of
  // the scanner's own files, as nibabel reads them: rows reversed (dcm2niix
  // stores an image bottom-up), then, for DICOM, the row index first
  // (x and y swap).  `origin` names the data in the description.
  void undoConversion(bool rowsFirst, const std::string& origin);

 private:
  NiftiScan() = default;

  std::string path_;
  std::string origin_;  // what the file was converted from, if it was
  Dims dims_;
  int volumes_ = 0;
  double trMs_ = 0.0;
  std::vector<short> samples_;  // volumes_ volumes, one after the other
};

// Reads a 3D mask (or the first volume of a 4D file) as floats in volume order.
// False with `error` set when unreadable or when its grid differs from `dims`.
bool readNiftiMask(const std::string& path, const Dims& dims, std::vector<float>& mask, std::string& error);
