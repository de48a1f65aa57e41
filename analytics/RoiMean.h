// ROI means computed by the plug-in from the host's voxel values, and the
// window matrix the correlation requests are computed on.
//
// Both call the host (tGetNrOfVoxelsOfROI, tGetCoordsOfVoxelOfROI,
// tGetValueOfVoxelAtTime) on the calling request thread; the caller has
// checked that the host exports those three functions.
#pragma once

#include <vector>

// The mean of ROI `roi` at `timePoint`: the voxel values summed in single
// precision in voxel order, divided by the voxel count.  A voxel whose
// coordinates the host refuses adds nothing but still counts, so an ROI
// without voxels gives NaN.  The host is never asked for a negative time
// point: for one, the result is NaN without a call.
float roiMeanFromVoxels(int roi, int timePoint);

// The window matrix of ROIs 0 .. rois-1 over time points
// windowEnd - windowSize .. windowEnd - 1: ROI-major, one row of windowSize
// doubles per ROI, each the widened roiMeanFromVoxels value.
std::vector<double> collectRoiWindows(int rois, int windowEnd, int windowSize);
