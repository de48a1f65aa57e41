// The host's version and the rules the plug-in applies to it.
#pragma once

struct HostVersion {
  int major = 0;
  int minor = 0;
  int subversion = 0;
};

// Asks the host (tGetVersionOfNMB).  Requires a bound host table.
HostVersion queryHostVersion();

// At least 3.0.0, compared part by part with the first difference deciding.
bool isSupportedHostVersion(const HostVersion& version);

// Whether the host counts time points from 1, so that the volume that arrived
// last is time point − 1 (3.1 and later); 3.0 hosts count from 0.
bool countsTimePointsFromOne(const HostVersion& version);
