// NIfTI replay in a build without the NIfTI-2 library: the options are still
// understood, and asking for them says why they cannot be used.
#include "simulator/NiftiScan.h"

namespace {

const char kNoNifti[] =
    "this nimbrel-sim was built without the NIfTI library; only the synthetic scan is available";

}  // namespace

std::unique_ptr<NiftiScan> NiftiScan::open(const std::string&, std::string& error) {
  error = kNoNifti;
  return nullptr;
}

bool readNiftiMask(const std::string&, const Dims&, std::vector<float>&, std::string& error) {
  error = kNoNifti;
  return false;
}

void NiftiScan::undoConversion(bool, const std::string&) {}
