// nimbrel-sim: a host program that plays Nimbrel for the network plug-in.
//
// After the last run the plug-in keeps serving until Ctrl-C (or, with
// --exit-when-done, until the linger time is over; with --client, until the
// command ends).
//
// Exit status: 0 after the last run, 1 when the plug-in cannot be created or
// refuses to initialise, 2 for bad options or input, 3 when the plug-in never
// managed to listen on its port, 4 when the --client command failed, 130
// after Ctrl-C during a run (the run is still ended with its post-run and the
// plug-in deleted and unloaded).
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
#include "simulator/ScannerTrigger.h"
#include "simulator/SettingsCopy.h"
#include "simulator/SimHost.h"
#include "simulator/StartGate.h"
#include "simulator/platform/System.h"

namespace {

// Time a --client command gets to end by itself once the simulator is done.
constexpr int kClientGraceMs = 5000;
// The longest the pre-run's "Listening on" lines wait for the listener to be
// seen; the worker opens the port within milliseconds.
constexpr int kListenSettleMs = 3000;

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

  // Before any thread exists: it changes the environment the command inherits.
  if (!options.client.empty()) ClientCommand::provideClientPackage();
  Console console(options.rawLog);
  // Before any thread exists, so that every thread inherits the blocked mask.
  interrupts::start([&console]() {
    console.notice(
        "interrupt: ending (a run in progress still gets its post-run; Ctrl-C again quits at once)");
  });

  Scan scan;
  if (!setUpScan(options, scan, error)) return fail(2, error);
  for (const std::string& notice : scan.notices) console.notice(notice);
  FaultPlan faults;
  if (!options.faults.empty()) {
    parseFaults(options.faults, faults, error);  // checked with the options
    const int width = scan.source->dims().x;
    if (faults.shiftProbability > 0 && std::abs(faults.shiftVoxels) % width == 0)
      return fail(2, "--faults: a shift by " + std::to_string(faults.shiftVoxels) +
                         " voxels leaves a volume " + std::to_string(width) +
                         " voxels wide as it was; give a shift that is not a multiple of the width");
  }

  if (faults.touchesTriggers() && options.triggerTty.empty() && options.triggerUdp == 0)
    return fail(2,
                "--faults: missed-trigger, extra-trigger and first-trigger-missed need a trigger "
                "(--trigger-tty PATH or --trigger-udp PORT)");
  // Removed as run() returns: the link to the trigger tty goes with it.
  ScannerTrigger trigger;
  if (!trigger.open(options.triggerTty, options.triggerByte, options.triggerUdp, error))
    return fail(2, error);
  if (trigger.hasTerminal())
    console.notice("trigger: \"" + std::string(1, options.triggerByte) +
                   "\" per volume on the pseudo-terminal at " + options.triggerTty);
  if (options.triggerUdp > 0)
    console.notice("trigger: a datagram per volume to 127.0.0.1:" + std::to_string(options.triggerUdp));

  const std::string pluginPath =
      options.plugin.empty() ? defaultPluginPath(executableFolder()) : options.plugin;
  // Removed as run() returns, after the plug-in has been unloaded.
  SettingsCopy settingsCopy;
  if (!options.settings.empty()) {
    if (!settingsCopy.place(options.settings, folderOf(pluginPath), error)) return fail(2, error);
    console.notice("settings: " + options.settings + " is beside the plug-in as " + settingsCopy.path() +
                   " for this run");
  } else if (SettingsCopy::leftoverIn(folderOf(pluginPath))) {
    console.notice(
        "the NMBNetworkPlugin.ini beside the plug-in was left by an earlier nimbrel-sim --settings; "
        "the plug-in applies it (the next --settings replaces it)");
  }
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
  int servedPort = -1;
  settings.logText = [&console, &listenWatch, &servedPort, hostThread](const char* text) {
    const std::string line = text != nullptr ? text : "";
    switch (listenWatch.observe(line, std::this_thread::get_id() == hostThread)) {
      case ListenWatch::Seen::Claim: {
        // The pre-run says it listens; shown only once the listener is seen.
        const int port = servedPort;
        std::vector<std::string> claims;
        const ListenWatch::Outcome outcome =
            listenWatch.settle([port]() { return simsys::processListensOn(port); }, kListenSettleMs, claims);
        for (const std::string& claim : claims) console.logLine(claim);
        if (outcome == ListenWatch::Outcome::Unknown)
          console.notice("cannot tell whether the plug-in listens on port " + std::to_string(port));
        break;
      }
      case ListenWatch::Seen::Failure:
        console.logLine(line);
        console.alert("THE PLUG-IN IS NOT LISTENING: " + renderLogMarkup(line, false) +
                      "\n             Clients that connect reach whatever else holds the port.");
        break;
      case ListenWatch::Seen::Recovery:
        console.logLine(line);
        console.notice("the plug-in listens on its port now");
        break;
      case ListenWatch::Seen::Other:
        console.logLine(line);
        break;
    }
  };
  settings.messageBox = [&console](const char* text) { console.messageBox(text); };
  const int port = options.port;
  settings.integerInput = [&console, &listenWatch, port, &servedPort](const char* prompt, int defaultValue,
                                                                      int minValue, int maxValue) {
    int answer = defaultValue;
    if (port >= 0)
      answer = port;
    else if (console.inputTerminal() && console.terminal())
      answer =
          console.askInteger(prompt, defaultValue, minValue, maxValue, kPortCancelAnswer, interrupts::flag());
    servedPort = answer;
    listenWatch.expectPort(answer);
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
  timing.processingDelayMs = options.processingDelayMs;
  if (!options.faults.empty())
    console.notice("faults on request: " + options.faults +
                   " (drops, repeats, late, spiked and shifted volumes are reported as they happen, all at "
                   "each run's end)");
  RunDriver driver(host, console, timing, interrupts::flag(), faults, &trigger);
  StartGate gate(
      options.startOn, console, trigger, [&servedPort]() { return servedPort; }, interrupts::flag());
  if (!options.startOn.empty()) driver.onReady([&gate](int run) { return gate.wait(run); });
  ClientCommand client(options.client);
  if (!options.client.empty())
    driver.onServing([&client, &console, &listenWatch]() {
      // It would reach whatever else holds the port.
      if (listenWatch.failing())
        console.notice("the client command is not started: the plug-in does not listen on its port");
      else if (!client.start())
        console.notice("warning: cannot start the client command");
    });
  const bool complete = driver.drive(*plugin);
  if (complete) {
    // Nimbrel keeps the plug-in loaded between runs, and so does the
    // simulator: clients finish reading at their own pace.
    const std::string where =
        servedPort >= 0 && servedPort != kPortCancelAnswer ? " on port " + std::to_string(servedPort) : "";
    if (listenWatch.failing()) {
      // Nothing to serve: the host ends, and says why below.
      if (!listenWatch.neverListened())
        console.notice("runs finished; the plug-in does not listen" + where + " any more, so the host ends");
    } else if (options.exitWhenDone) {
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
  bool clientFailed = false;
  if (!options.client.empty()) {
    const ClientCommand::Outcome outcome = client.finish(kClientGraceMs);
    clientFailed = ClientCommand::failed(outcome);
    console.notice("client command " + ClientCommand::describe(outcome));
  }

  // Deleting the plug-in stops its threads and disconnects every client; only
  // then may its code be unloaded.
  plugin.reset();
  library.reset();
  if (listenWatch.neverListened()) {
    console.alert("the plug-in never listened on its port, so no client could reach this host: " +
                  renderLogMarkup(listenWatch.lastFailure(), false));
    return 3;
  }
  if (!complete) {
    console.notice("stopped after an interrupt; plug-in deleted and unloaded");
    return 130;
  }
  if (clientFailed) {
    console.alert("the client command failed (see above); the simulator ends with status 4");
    return 4;
  }
  console.notice("done");
  return 0;
}

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    return fail(2, std::string("unexpected failure: ") + e.what());
  }
}
