#include "simulator/NiftiScan.h"

#include <nifti2_io.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>

namespace {

struct ImageDeleter {
  void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using Image = std::unique_ptr<nifti_image, ImageDeleter>;

// The library prints its own diagnostics to stderr; the simulator reports
// failures itself, in one sentence.
Image readImage(const std::string& path, std::string& error) {
  if (!std::ifstream(path).good()) {
    error = "cannot open NIfTI file " + path;
    return nullptr;
  }
  nifti_set_debug_level(0);
  Image image(nifti_image_read(path.c_str(), 1));
  if (!image || image->data == nullptr) {
    error = "cannot read NIfTI file " + path + " (not a readable NIfTI-1/NIfTI-2 image)";
    return nullptr;
  }
  return image;
}

// One sample of the image as a double, before any scaling.
bool sampleReader(const nifti_image& image, double (*&read)(const void*, int64_t)) {
  switch (image.datatype) {
    case DT_UINT8:
      read = [](const void* d, int64_t i) { return double(static_cast<const uint8_t*>(d)[i]); };
      break;
    case DT_INT8:
      read = [](const void* d, int64_t i) { return double(static_cast<const int8_t*>(d)[i]); };
      break;
    case DT_INT16:
      read = [](const void* d, int64_t i) { return double(static_cast<const int16_t*>(d)[i]); };
      break;
    case DT_UINT16:
      read = [](const void* d, int64_t i) { return double(static_cast<const uint16_t*>(d)[i]); };
      break;
    case DT_INT32:
      read = [](const void* d, int64_t i) { return double(static_cast<const int32_t*>(d)[i]); };
      break;
    case DT_UINT32:
      read = [](const void* d, int64_t i) { return double(static_cast<const uint32_t*>(d)[i]); };
      break;
    case DT_FLOAT32:
      read = [](const void* d, int64_t i) { return double(static_cast<const float*>(d)[i]); };
      break;
    case DT_FLOAT64:
      read = [](const void* d, int64_t i) { return static_cast<const double*>(d)[i]; };
      break;
    default:
      return false;
  }
  return true;
}

double scaled(const nifti_image& image, double raw) {
  return image.scl_slope != 0.0 ? raw * image.scl_slope + image.scl_inter : raw;
}

bool fitsInt(int64_t v) { return v > 0 && v <= 1 << 20; }

}  // namespace

std::unique_ptr<NiftiScan> NiftiScan::open(const std::string& path, std::string& error) {
  Image image = readImage(path, error);
  if (!image) return nullptr;
  const int64_t nt = image->ndim >= 4 ? image->nt : 1;
  if (image->ndim < 3 || image->ndim > 4 || !fitsInt(image->nx) || !fitsInt(image->ny) ||
      !fitsInt(image->nz) || !fitsInt(nt) || image->nx * image->ny * image->nz > 1 << 26) {
    error = "NIfTI file " + path + " is not a 3D or 4D volume series of a usable size";
    return nullptr;
  }
  double (*read)(const void*, int64_t) = nullptr;
  if (!sampleReader(*image, read)) {
    error = "NIfTI file " + path + " has the unsupported data type " + nifti_datatype_string(image->datatype);
    return nullptr;
  }
  std::unique_ptr<NiftiScan> scan(new NiftiScan());
  scan->path_ = path;
  scan->dims_ = Dims{int(image->nx), int(image->ny), int(image->nz)};
  scan->volumes_ = int(nt);
  const int64_t total = int64_t(scan->dims_.voxels()) * nt;
  scan->samples_.resize(static_cast<size_t>(total));
  const bool raw = image->datatype == DT_INT16;
  for (int64_t i = 0; i < total; ++i) {
    const double v = read(image->data, i);
    scan->samples_[static_cast<size_t>(i)] =
        raw ? static_cast<short>(v)
            : static_cast<short>(std::clamp(std::lround(scaled(*image, v)), -32768L, 32767L));
  }
  if (image->ndim >= 4 && image->dt > 0.0) {
    double factor = 1000.0;  // seconds, and the default when the unit is unset
    if (image->time_units == NIFTI_UNITS_MSEC) factor = 1.0;
    if (image->time_units == NIFTI_UNITS_USEC) factor = 0.001;
    scan->trMs_ = image->dt * factor;
  }
  return scan;
}

void NiftiScan::volume(int, int index, short* out) const {
  const size_t n = static_cast<size_t>(dims_.voxels());
  std::memcpy(out, &samples_[n * static_cast<size_t>(index)], n * sizeof(short));
}

void NiftiScan::undoConversion(bool rowsFirst, const std::string& origin) {
  const size_t nx = static_cast<size_t>(dims_.x), ny = static_cast<size_t>(dims_.y);
  const size_t planes = static_cast<size_t>(dims_.z) * static_cast<size_t>(volumes_);
  std::vector<short> reordered(samples_.size());
  for (size_t p = 0; p < planes; ++p) {
    const short* from = &samples_[p * nx * ny];
    short* to = &reordered[p * nx * ny];
    for (size_t y = 0; y < ny; ++y)
      for (size_t x = 0; x < nx; ++x) {
        const short v = from[x + nx * (ny - 1 - y)];
        if (rowsFirst)
          to[y + ny * x] = v;
        else
          to[x + nx * y] = v;
      }
  }
  samples_.swap(reordered);
  if (rowsFirst) std::swap(dims_.x, dims_.y);
  origin_ = origin;
}

std::string NiftiScan::description() const {
  if (!origin_.empty())
    return origin_ + " (converted by dcm2niix): " + std::to_string(dims_.x) + " x " +
           std::to_string(dims_.y) + " x " + std::to_string(dims_.z) + " voxels, " +
           std::to_string(volumes_) + " volumes";
  return "NIfTI replay of " + path_ + ": " + std::to_string(dims_.x) + " x " + std::to_string(dims_.y) +
         " x " + std::to_string(dims_.z) + " voxels, " + std::to_string(volumes_) + " volumes";
}

bool readNiftiMask(const std::string& path, const Dims& dims, std::vector<float>& mask, std::string& error) {
  Image image = readImage(path, error);
  if (!image) return false;
  if (image->nx != dims.x || image->ny != dims.y || image->nz != dims.z) {
    error = "ROI mask " + path + " has " + std::to_string(image->nx) + " x " + std::to_string(image->ny) +
            " x " + std::to_string(image->nz) + " voxels, the scan " + std::to_string(dims.x) + " x " +
            std::to_string(dims.y) + " x " + std::to_string(dims.z);
    return false;
  }
  double (*read)(const void*, int64_t) = nullptr;
  if (!sampleReader(*image, read)) {
    error = "ROI mask " + path + " has an unsupported data type";
    return false;
  }
  mask.resize(static_cast<size_t>(dims.voxels()));
  for (int i = 0; i < dims.voxels(); ++i)
    mask[static_cast<size_t>(i)] = static_cast<float>(read(image->data, i));
  return true;
}
