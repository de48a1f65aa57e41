#include "plugin/HostVersion.h"

#include "plugin/HostFunctions.h"

HostVersion queryHostVersion() {
  HostVersion version;
  hostFunctions.tGetVersionOfNMB(&version.major, &version.minor, &version.subversion);
  return version;
}

bool isSupportedHostVersion(const HostVersion& version) {
  if (version.major != 3) return version.major > 3;
  if (version.minor != 0) return version.minor > 0;
  return version.subversion >= 0;
}

bool countsTimePointsFromOne(const HostVersion& version) {
  return version.major > 3 || (version.major == 3 && version.minor >= 1);
}
