// Shapes the fake host from the first bytes of a fuzzer input: every answer
// the host gives is random but one a real host could give (small dimensions,
// ROIs with voxels inside the volume, a time point within the run), so the
// fuzzer explores the plug-in and not the fake.
#pragma once

#include <cstddef>
#include <cstdint>

class TcpIpExport;

namespace fuzzhost {

// Bytes of the input consumed by configure().
inline constexpr std::size_t kConfigBytes = 12;

// Binds `plugin` to the fake host once per process.
void bindOnce(TcpIpExport& plugin);

// Resets the fake host and the plug-in's run record from `config`
// (kConfigBytes bytes).
void configure(TcpIpExport& plugin, const std::uint8_t* config);

}  // namespace fuzzhost
