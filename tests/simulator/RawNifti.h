// A minimal reader of uncompressed single-file NIfTI-1 int16 data, written for
// the tests only, so that the simulator's NIfTI replay is checked against the
// file's bytes rather than against the library it uses itself.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

struct RawNifti {
  int dim[8] = {};
  short datatype = 0;
  float pixdim[8] = {};
  float voxOffset = 0.0f;
  std::vector<int16_t> samples;
};

inline bool readRawNifti(const char* path, RawNifti& out) {
  std::ifstream file(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (bytes.size() < 352) return false;
  int32_t headerSize;
  std::memcpy(&headerSize, bytes.data(), 4);
  if (headerSize != 348) return false;  // little-endian NIfTI-1 only
  int16_t dims[8];
  std::memcpy(dims, bytes.data() + 40, sizeof dims);
  for (int i = 0; i < 8; ++i) out.dim[i] = dims[i];
  std::memcpy(&out.datatype, bytes.data() + 70, 2);
  std::memcpy(out.pixdim, bytes.data() + 76, sizeof out.pixdim);
  std::memcpy(&out.voxOffset, bytes.data() + 108, 4);
  if (out.datatype != 4) return false;
  size_t count = 1;
  for (int i = 1; i <= out.dim[0]; ++i) count *= static_cast<size_t>(out.dim[i]);
  const size_t offset = static_cast<size_t>(out.voxOffset);
  if (bytes.size() < offset + 2 * count) return false;
  out.samples.resize(count);
  std::memcpy(out.samples.data(), bytes.data() + offset, 2 * count);
  return true;
}
