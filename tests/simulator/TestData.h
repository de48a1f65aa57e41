// Locations of the test data the simulator's tests read at run time.
#pragma once

#include <fstream>
#include <string>

// The 4D run that Debian's python3-nibabel ships among its test data.
inline const char kFunctionalNii[] = "/usr/lib/python3/dist-packages/nibabel/tests/data/functional.nii";

inline bool haveFunctionalNii() { return std::ifstream(kFunctionalNii).good(); }

#define SKIP_WITHOUT_FUNCTIONAL_NII() \
  if (!haveFunctionalNii())           \
  GTEST_SKIP() << kFunctionalNii << " is missing: install python3-nibabel (./dev installs it)"
