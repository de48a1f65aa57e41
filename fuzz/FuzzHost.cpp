#include "fuzz/FuzzHost.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "plugin/TcpIpExport.h"
#include "tests/support/FakeHost.h"
#include "tests/support/RunRecordTestWriter.h"

namespace fuzzhost {

void bindOnce(TcpIpExport& plugin) {
  static bool bound = false;
  if (bound) return;
  FakeHost::reset();
  if (!plugin.initPlugin()) std::abort();
  bound = true;
}

void configure(TcpIpExport& plugin, const std::uint8_t* c) {
  FakeHost::reset();
  FakeHostState& host = FakeHost::state();
  host.dimX = c[0] % 5;
  host.dimY = c[1] % 4;
  host.dimZ = c[2] % 3;
  host.expectedTimePoints = c[3] % 24;
  host.currentTimePoint = host.expectedTimePoints == 0 ? 0 : c[4] % (host.expectedTimePoints + 1);
  host.fullPredictors = c[5] % 5;
  host.currentPredictors = host.fullPredictors == 0 ? 0 : c[5] % host.fullPredictors;
  host.contrasts = c[6] % 3;
  host.nullArrays = (c[6] & 0x80) != 0;
  host.numberOfClasses = int(c[7] % 6) - 3;
  host.classifierResult = c[7] >> 4;
  const int pairs = host.numberOfClasses > 1 ? host.numberOfClasses * (host.numberOfClasses - 1) / 2 : 0;
  host.classifierOutput.assign(pairs, 0.5f);

  const int voxels = host.dimX * host.dimY * host.dimZ;
  const int rois = c[8] % 6;
  host.rois.clear();
  for (int r = 0; r < rois; ++r) {
    FakeRoi roi;
    const int count = voxels == 0 ? 0 : (c[9] + r) % (voxels + 1);
    for (int v = 0; v < count; ++v) {
      const int index = (v + r) % voxels;
      roi.voxels.push_back(
          {index % host.dimX, (index / host.dimX) % host.dimY, index / (host.dimX * host.dimY)});
    }
    // Some hosts report exact zeros and NaNs; both have to travel.
    roi.mean = (c[10] & (1 << r)) ? 0.0f : float(r) * 1.5f + 0.25f;
    roi.detrendedValue = (c[11] & 1) ? std::numeric_limits<float>::quiet_NaN() : float(r);
    roi.betas.assign(host.fullPredictors, 0.5f * r);
    roi.refused.assign(count, (c[11] & 2) != 0);
    host.rois.push_back(roi);
  }
  FakeHost::fillTimeCourse(host.expectedTimePoints);
  host.betaMaps.assign(std::size_t(voxels) * host.fullPredictors, 1.25);
  host.contrastMaps.assign(std::size_t(voxels) * host.contrasts, 2.5f);

  RunRecord record;
  record.runStartPending = (c[11] & 4) != 0;
  record.storedTimePoint = host.currentTimePoint;
  record.roiMeans.fill(0.75f, rois);
  record.roiDetrendedValues.fill(-0.75f, rois);
  // A run that was prepared for fewer volumes than it has seen is possible
  // when the host's expected count changes; raw data may also be missing.
  const int preparedVolumes = (c[11] & 8) ? host.currentTimePoint / 2 : host.expectedTimePoints;
  record.rawVolumes.fill(7, (c[11] & 16) ? 0 : preparedVolumes * voxels);
  RunRecordTestWriter::write(plugin, record);
}

}  // namespace fuzzhost
