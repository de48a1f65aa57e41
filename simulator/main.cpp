// nimbrel-sim: a host program that plays Nimbrel for the network plug-in.
//
// After the last run the plug-in keeps serving until Ctrl-C (or, with
// --exit-when-done, until the linger time is over; with --client, until the
// command ends).
//
// Exit status: 0 after the last run, 1 when the plug-in cannot be created or
// refuses to initialise, 2 for bad options or input, 3 when the plug-in never
// managed to listen on its port, 130 after Ctrl-C during a run (the run is
// still ended with its post-run and the plug-in deleted and unloaded).
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "simulator/ClientCommand.h"
#include "simulator/Console.h"
#include "simulator/Faults.h"
#include "simulator/Interrupts.h"
#include "simulator/ListenWatch.h"
#include "simulator/LogMarkup.h"
#include "simulator/Options.h"
#include "simulator/PluginLibrary.h"
#include "simulator/PluginObject.h"
#include "simulator/RunDriver.h"
#include "simulator/ScanSetup.h"
#include "simulator/SimHost.h"
#include "simulator/platform/System.h"

namespace {

// Time a --client command gets to end by itself once the simulator is done.
constexpr int kClientGraceMs = 5000;

int fail(int status, const std::string& message) {
  std::fprintf(stderr, "nimbrel-sim: error: %s\n", message.c_str());
  return status;
}

}  // namespace

int run(int argc, char** argv) {
  SimOptions options;
  std::string error;
  switch (parseOptions(argc, argv, options, error)) {
    case ParseResult::Help:
      std::fputs(usageText().c_str(), stdout);
      return 0;
    case ParseResult::Error:
      return fail(2, error);
    case ParseResult::Run:
      break;
  }

  Console console(options.rawLog);
  // Before any thread exists, so that every thread inherits the blocked mask.
  interrupts::start([&console]() {
    console.notice(
        "interrupt: ending (a run in progress still gets its post-run; Ctrl-C again quits at once)");
  });

  Scan scan;
  if (!setUpScan(options, scan, error)) return fail(2, error);
  for (const std::string& notice : scan.notices) console.notice(notice);

  const std::string pluginPath =
      options.plugin.empty() ? defaultPluginPath(executableFolder()) : options.plugin;
  HostSettings settings;
  settings.versionMajor = options.versionMajor;
  settings.versionMinor = options.versionMinor;
  settings.versionSubversion = options.versionSubversion;
  settings.programFolder = executableFolder();
  settings.pluginsFolder = folderOf(pluginPath);
  settings.projectName = options.projectName;
  const std::string here = simsys::currentFolder();
  settings.watchFolder = !options.watchFolder.empty() ? options.watchFolder
                         : !options.nifti.empty()     ? folderOf(options.nifti)
                                                      : here;
  settings.targetFolder = options.targetFolder.empty() ? here : options.targetFolder;
  settings.feedbackFolder = options.feedbackFolder.empty() ? settings.targetFolder : options.feedbackFolder;
  settings.classes = options.classes;
  // The response peaks about 5 s after the stimulus.
  settings.classifierLag = scan.trMs > 0 ? static_cast<int>((5000 + scan.trMs / 2) / scan.trMs) : 2;
  ListenWatch listenWatch;
  const std::thread::id hostThread = std::this_thread::get_id();
  settings.logText = [&console, &listenWatch, hostThread](const char* text) {
    console.logLine(text);
    const std::string line = text != nullptr ? text : "";
    switch (listenWatch.observe(line, std::this_thread::get_id() == hostThread)) {
      case ListenWatch::Seen::Failure:
        console.alert("THE PLUG-IN IS NOT LISTENING: " + renderLogMarkup(line, false) +
                      "\n             Clients that connect reach whatever else holds the port.");
        break;
      case ListenWatch::Seen::Recovery:
        console.notice("the plug-in listens on its port now");
        break;
      case ListenWatch::Seen::Other:
        break;
    }
  };
  settings.messageBox = [&console](const char* text) { console.messageBox(text); };
  const int port = options.port;
  int servedPort = -1;
  settings.integerInput = [&console, port, &servedPort](const char* prompt, int defaultValue, int minValue,
                                                        int maxValue) {
    int answer = defaultValue;
    if (port >= 0)
      answer = port;
    else if (console.inputTerminal() && console.terminal())
      answer =
          console.askInteger(prompt, defaultValue, minValue, maxValue, kPortCancelAnswer, interrupts::flag());
    servedPort = answer;
    return answer;
  };
  SimHost& host = SimHost::instance();
  host.configure(settings, scan.source.get(), scan.protocol.get(), scan.rois, scan.volumes);

  // Nimbrel's own libraries are in the process before any plug-in is.
  const std::vector<std::string> hostLibraries = simsys::loadHostLibraries(settings.programFolder);
  std::unique_ptr<PluginLibrary> library = PluginLibrary::load(pluginPath, error);
  if (!library) return fail(2, error);
  std::string description = renderLogMarkup(library->description(), false);
  while (!description.empty() && (description.back() == '\n' || description.back() == ' '))
    description.pop_back();
  std::printf("Plug-in: %s (version %s, %s)\n  %s\n  %s\n", library->name().c_str(),
              library->version().c_str(), library->author().c_str(), description.c_str(),
              library->path().c_str());
  std::printf("Host: Nimbrel %d.%d.%d, %s\n", options.versionMajor, options.versionMinor,
              options.versionSubversion, scan.source->description().c_str());
  if (!hostLibraries.empty()) {
    std::printf("  loaded before the plug-in, as Nimbrel's own:");
    for (const std::string& name : hostLibraries) std::printf(" %s", name.c_str());
    std::printf("\n");
  }
  std::printf("Runs: %d of %d volumes, TR %d ms; %zu ROIs:", options.runs, scan.volumes, scan.trMs,
              scan.rois.size());
  for (const Roi& roi : scan.rois) std::printf(" %zu", roi.voxels.size());
  std::printf(" voxels\n");
  std::fflush(stdout);

  void* const created = library->createPlugin()();
  if (created == nullptr) return fail(1, "the plug-in's createPlugin returned no object");
  auto plugin = std::make_unique<PluginObject>(created);
  if (!plugin->initPlugin()) {
    plugin.reset();
    library.reset();
    return fail(1, "the plug-in refused to start: initPlugin returned false (Nimbrel version " +
                       std::to_string(options.versionMajor) + "." + std::to_string(options.versionMinor) +
                       "." + std::to_string(options.versionSubversion) + ")");
  }

  RunTiming timing;
  timing.runs = options.runs;
  timing.volumes = scan.volumes;
  timing.trMs = scan.trMs;
  timing.startDelayMs = options.startDelayMs >= 0 ? options.startDelayMs : scan.trMs;
  FaultPlan faults;
  if (!options.faults.empty()) {
    parseFaults(options.faults, faults, error);  // checked with the options
    console.notice("faults on request: " + options.faults + " (each is reported as it happens)");
  }
  RunDriver driver(host, console, timing, interrupts::flag(), faults);
  ClientCommand client(options.client);
  if (!options.client.empty())
    driver.onServing([&client, &console]() {
      if (!client.start()) console.notice("warning: cannot start the client command");
    });
  const bool complete = driver.drive(*plugin);
  if (complete) {
    // Nimbrel keeps the plug-in loaded between runs, and so does the
    // simulator: clients finish reading at their own pace.
    const std::string where =
        servedPort >= 0 && servedPort != kPortCancelAnswer ? " on port " + std::to_string(servedPort) : "";
    if (options.exitWhenDone) {
      if (options.lingerMs > 0)
        console.notice("runs finished; the plug-in keeps serving" + where + " for " +
                       std::to_string(options.lingerMs) + " ms");
      driver.serve(options.lingerMs, nullptr);
    } else if (client.running()) {
      console.notice("runs finished; the plug-in keeps serving" + where +
                     " until the client command ends (Ctrl-C ends it now)");
      driver.serve(-1, [&client]() { return !client.running(); });
    } else if (options.client.empty()) {
      console.notice("runs finished; the plug-in keeps serving" + where + " until Ctrl-C");
      driver.serve(-1, nullptr);
    }
  }
  if (!options.client.empty()) {
    const ClientCommand::Outcome outcome = client.finish(kClientGraceMs);
    console.notice("client command " + ClientCommand::describe(outcome));
  }

  // Deleting the plug-in stops its threads and disconnects every client; only
  // then may its code be unloaded.
  plugin.reset();
  library.reset();
  if (listenWatch.neverListened()) {
    console.alert("the plug-in never listened on its port: " +
                  renderLogMarkup(listenWatch.lastFailure(), false));
    return 3;
  }
  console.notice(complete ? "done" : "stopped after an interrupt; plug-in deleted and unloaded");
  return complete ? 0 : 130;
}

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    return fail(2, std::string("unexpected failure: ") + e.what());
  }
}
