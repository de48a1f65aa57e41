#include "tests/support/FakeHost.h"

namespace {

std::mutex& stateMutex() {
  static std::mutex mutex;
  return mutex;
}

// The shim works as a test host from the start: locked, counted, keeping what
// the plug-in tells the user.
[[maybe_unused]] const bool installed = [] {
  HostShim::shareLock(&stateMutex());
  HostShim::keepUserCalls(true);
  HostShim::setCounting(true);
  return true;
}();

}  // namespace

FakeHostState& FakeHost::state() { return HostShim::values(); }

std::unique_lock<std::mutex> FakeHost::lock() { return std::unique_lock<std::mutex>(stateMutex()); }

void FakeHost::reset() {
  std::lock_guard<std::mutex> guard(stateMutex());
  HostShim::values() = FakeHostState();
  HostShim::resetCounts();
}

int FakeHost::totalCalls() { return int(HostShim::totalCalls()); }

int FakeHost::calls(const std::string& name) { return int(HostShim::calls(HostShim::functionIndex(name))); }

std::vector<std::string> FakeHost::logLines() {
  std::lock_guard<std::mutex> guard(stateMutex());
  return HostShim::values().logLines;
}

void FakeHost::fillTimeCourse(int volumes, short first) {
  std::lock_guard<std::mutex> guard(stateMutex());
  FakeHostState& s = HostShim::values();
  const int voxels = s.dimX * s.dimY * s.dimZ;
  s.timeCourse.assign(static_cast<size_t>(volumes), std::vector<short>(static_cast<size_t>(voxels)));
  for (int t = 0; t < volumes; ++t)
    for (int i = 0; i < voxels; ++i)
      s.timeCourse[static_cast<size_t>(t)][static_cast<size_t>(i)] = static_cast<short>(first + 100 * t + i);
}
