// Turns the options into what a run needs: the data source, the protocol, the
// ROIs, and the run's length and TR.  Every input problem (unreadable NIfTI,
// ROI outside the volume, unreadable mask) is reported here, before the
// plug-in is loaded.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "simulator/Options.h"
#include "simulator/Protocol.h"
#include "simulator/Roi.h"
#include "simulator/ScanSource.h"

struct Scan {
  std::unique_ptr<Protocol> protocol;
  std::unique_ptr<ScanSource> source;
  std::vector<Roi> rois;
  int volumes = 0;
  int trMs = 0;
  std::vector<std::string> notices;  // things the user should know
};

// False with `error` set when the options describe no usable scan.
bool setUpScan(const SimOptions& options, Scan& scan, std::string& error);
