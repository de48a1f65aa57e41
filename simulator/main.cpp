// nimbrel-sim: a host program that plays Nimbrel for the network plug-in.
//
// Exit status: 0 after the last run, 1 when the plug-in cannot be created or
// refuses to initialise, 2 for bad options or input, 130 after Ctrl-C (the run
// is still ended with its post-run and the plug-in deleted and unloaded).
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "plugin/NMBPluginInterface.h"
#include "simulator/ClientCommand.h"
#include "simulator/Console.h"
#include "simulator/Interrupts.h"
#include "simulator/LogMarkup.h"
#include "simulator/Options.h"
#include "simulator/PluginLibrary.h"
#include "simulator/RunDriver.h"
#include "simulator/ScanSetup.h"
#include "simulator/SimHost.h"
#include "simulator/platform/System.h"

namespace {

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
  interrupts::start(
      [&console]() { console.notice("interrupt: finishing the run (Ctrl-C again to quit at once)"); });

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
  settings.logText = [&console](const char* text) { console.logLine(text); };
  settings.messageBox = [&console](const char* text) { console.messageBox(text); };
  const int port = options.port;
  settings.integerInput = [&console, port](const char* prompt, int defaultValue, int minValue, int maxValue) {
    if (port >= 0) return port;
    if (console.inputTerminal() && console.terminal())
      return console.askInteger(prompt, defaultValue, minValue, maxValue, kPortCancelAnswer,
                                interrupts::flag());
    return defaultValue;
  };
  SimHost& host = SimHost::instance();
  host.configure(settings, scan.source.get(), scan.protocol.get(), scan.rois, scan.volumes);

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
  std::printf("Runs: %d of %d volumes, TR %d ms; %zu ROIs:", options.runs, scan.volumes, scan.trMs,
              scan.rois.size());
  for (const Roi& roi : scan.rois) std::printf(" %zu", roi.voxels.size());
  std::printf(" voxels\n");
  std::fflush(stdout);

  NMBPluginInterface* plugin = library->createPlugin()();
  if (plugin == nullptr) return fail(1, "the plug-in's createPlugin returned no object");
  if (!plugin->initPlugin()) {
    delete plugin;
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
  timing.lingerMs = options.lingerMs;
  RunDriver driver(host, console, timing, interrupts::flag());
  ClientCommand client(options.client);
  if (!options.client.empty())
    driver.onServing([&client, &console]() {
      if (!client.start()) console.notice("warning: cannot start the client command");
    });
  const bool complete = driver.drive(*plugin);
  const int clientStatus = client.stop();
  if (!options.client.empty())
    console.notice("client command ended with status " + std::to_string(clientStatus));

  // Deleting the plug-in stops its threads and disconnects every client; only
  // then may its code be unloaded.
  delete plugin;
  library.reset();
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
