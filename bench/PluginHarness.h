// PluginHarness: the plug-in hosted in the benchmark process, driven the way
// Nimbrel drives it.
//
// The benchmark's main thread is Nimbrel's thread: it calls the lifecycle
// operations directly, so the time they keep the host's thread can be taken
// with the clock around each call.  The plug-in binds the benchmark's own
// exported host functions (BenchHost).
//
//   PluginHarness harness;                 // initPlugin, executePreRun on a free port
//   harness.startRun();
//   harness.preStep(); harness.postStep();
//   std::string reply = harness.reply("tGetNrOfROIs");
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TcpIpExport;

class PluginHarness {
 public:
  // Throws std::runtime_error when the plug-in does not start.
  PluginHarness();
  ~PluginHarness();

  std::uint16_t port() const { return port_; }
  TcpIpExport& plugin() { return *plugin_; }

  // Ends the current run (if any) and rewinds the host to time point 0 of a
  // new run of the current configuration.
  void startRun();
  void endRun();
  // The host moves to the next time point, then calls executePreStep.
  void preStep();
  void postStep();
  // Time points left before the run reaches its expected length.
  int stepsLeft() const;

  // The framed reply the plug-in sends for this request.
  std::string reply(const std::string& name, const std::vector<int>& args = {});

 private:
  std::unique_ptr<TcpIpExport> plugin_;
  std::uint16_t port_ = 0;
  bool inRun_ = false;
};
