#include "simulator/Options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

#include "simulator/Faults.h"

bool parseLong(const std::string& text, long long low, long long high, long long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || v < low || v > high) return false;
  value = v;
  return true;
}

bool parseDouble(const std::string& text, double low, double high, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end == nullptr || *end != '\0' || !(v >= low && v <= high)) return false;
  value = v;
  return true;
}

namespace {

bool parseVersion(const std::string& text, SimOptions& o) {
  int parts[3] = {0, 0, 0};
  size_t start = 0;
  for (int k = 0; k < 3; ++k) {
    const size_t dot = text.find('.', start);
    const std::string piece = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    long long v;
    if (!parseLong(piece, -1000, 1000, v)) return false;
    parts[k] = static_cast<int>(v);
    if (dot == std::string::npos) {
      if (k == 0) return false;  // at least MAJOR.MINOR
      break;
    }
    if (k == 2) return false;
    start = dot + 1;
  }
  o.versionMajor = parts[0];
  o.versionMinor = parts[1];
  o.versionSubversion = parts[2];
  return true;
}

}  // namespace

std::string usageText() {
  return "usage: nimbrel-sim [options]\n"
         "Plays Nimbrel for the network plug-in: loads it, runs simulated scans and\n"
         "serves their data through the host functions.\n"
         "\n"
         "  --plugin PATH          plug-in library (default: the one built with the simulator)\n"
         "  --settings FILE        put FILE beside the plug-in as NMBNetworkPlugin.ini for this\n"
         "                         run (who may connect; see docs/security.md)\n"
         "  --runs N               number of runs (1)\n"
         "  --volumes N            volumes per run (200; NIfTI: the file's volumes)\n"
         "  --tr-ms N              time between volumes in ms (2000; NIfTI: the header's TR)\n"
         "  --start-delay-ms N     wait before the first volume of a run (one TR)\n"
         "  --exit-when-done       end after the last run (default: keep serving until Ctrl-C)\n"
         "  --linger-ms N          with --exit-when-done: keep serving N ms after the last run (1000)\n"
         "  --faults LIST          irregular runs: jitter=50ms,late=0.05:800ms,drop=0.02,\n"
         "                         repeat=0.01,stop-at=40,spike=0.02:5%,shift=0.02:1,seed=7,\n"
         "                         missed-trigger=0.05,extra-trigger=0.02,first-trigger-missed\n"
         "                         (any of them, see the docs)\n"
         "  --version X.Y[.Z]      Nimbrel version reported to the plug-in (3.1.0)\n"
         "  --port N|cancel        answer to the plug-in's port dialog (ask on a terminal,\n"
         "                         else the dialog's default, 55555); cancel answers 49151\n"
         "  --seed N               seed of the synthetic scan (1)\n"
         "  --dims X Y Z           synthetic volume size (64 64 30)\n"
         "  --rois N               spherical ROIs of the synthetic scan (3)\n"
         "  --roi-box X0 Y0 Z0 X1 Y1 Z1   an ROI box, corners inclusive (repeatable)\n"
         "  --roi-mask FILE        an ROI from the non-zero voxels of a NIfTI mask (repeatable)\n"
         "  --nifti FILE           replay a 4D NIfTI run instead of the synthetic scan\n"
         "  --bids DIR             replay a BIDS run: the *_bold.nii[.gz] that --subject, --session,\n"
         "                         --task and --run pick (or DIR is that file), with the TR from its\n"
         "                         JSON sidecar and the conditions from its *_events.tsv\n"
         "  --subject S, --session S, --task T, --run R   the BIDS entities (without sub- etc.)\n"
         "  --dicom DIR            replay a DICOM series folder (converted with dcm2niix); with\n"
         "                         several series in it, --series N picks one\n"
         "  --parrec FILE.PAR      replay a Philips PAR/REC run (converted with dcm2niix)\n"
         "  --trigger-tty PATH     send the scanner's trigger, one byte per volume, on a\n"
         "                         pseudo-terminal; PATH becomes a link to the end a stimulus\n"
         "                         program opens as its serial port (not on Windows, which has no\n"
         "                         pseudo-terminal: use --trigger-udp there)\n"
         "  --trigger-byte C       the trigger byte (5)\n"
         "  --trigger-udp PORT     send each trigger as a datagram \"Nimbrel Trigger: RUN VOLUME\n"
         "                         SECONDS\" to 127.0.0.1:PORT\n"
         "  --processing-delay-ms D  the trigger comes D ms before the host's pre-step (0)\n"
         "  --start-on WHAT        start each run when: enter (Enter is pressed), clients=N (N\n"
         "                         execute clients are subscribed), trigger-ack (a byte comes back\n"
         "                         on the trigger tty, so not on Windows); without it a run\n"
         "                         starts after the start delay\n"
         "  --conditions K         task conditions of the block design (1)\n"
         "  --block-volumes N      volumes per block (10)\n"
         "  --noise SD             synthetic noise, standard deviation in sample units (10)\n"
         "  --activation PCT       synthetic task effect in percent of the baseline (3)\n"
         "  --classes N            switch the classifier on with N classes (off)\n"
         "  --raw-log              print the plug-in's log lines verbatim\n"
         "  --client CMD           start CMD (through sh) once the plug-in serves; it runs in the\n"
         "                         simulator's network namespace, with nmbclient on PYTHONPATH;\n"
         "                         after the runs the simulator ends with it (a grace period, then\n"
         "                         it is stopped), with status 4 when the command failed\n"
         "  --project NAME         project name (nimbrel-sim)\n"
         "  --watch-folder DIR, --target-folder DIR, --feedback-folder DIR\n"
         "  --help                 this text\n";
}

ParseResult parseOptions(int argc, const char* const* argv, SimOptions& o, std::string& error) {
  std::vector<std::string> args(argv + 1, argv + argc);
  size_t i = 0;
  auto take = [&](const std::string& name, std::string& value) {
    if (i + 1 >= args.size()) {
      error = name + " needs a value";
      return false;
    }
    value = args[++i];
    return true;
  };
  auto integer = [&](const std::string& name, long long low, long long high, auto& target) {
    std::string text;
    if (!take(name, text)) return false;
    long long v;
    if (!parseLong(text, low, high, v)) {
      error = name + " expects a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
              ", not '" + text + "'";
      return false;
    }
    target = static_cast<std::remove_reference_t<decltype(target)>>(v);
    return true;
  };
  auto real = [&](const std::string& name, double low, double high, double& target) {
    std::string text;
    if (!take(name, text)) return false;
    if (!parseDouble(text, low, high, target)) {
      error = name + " expects a number from " + std::to_string(low) + " to " + std::to_string(high);
      return false;
    }
    return true;
  };

  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool ok = true;
    if (a == "--help" || a == "-h")
      return ParseResult::Help;
    else if (a == "--plugin")
      ok = take(a, o.plugin);
    else if (a == "--settings")
      ok = take(a, o.settings);
    else if (a == "--runs")
      ok = integer(a, 1, 100000, o.runs);
    else if (a == "--volumes")
      ok = integer(a, 1, 100000, o.volumes), o.volumesGiven = true;
    else if (a == "--tr-ms")
      ok = integer(a, 0, 3600000, o.trMs), o.trGiven = true;
    else if (a == "--start-delay-ms")
      ok = integer(a, 0, 3600000, o.startDelayMs);
    else if (a == "--linger-ms")
      ok = integer(a, 0, 86400000, o.lingerMs), o.exitWhenDone = true;
    else if (a == "--exit-when-done")
      o.exitWhenDone = true;
    else if (a == "--faults") {
      ok = take(a, o.faults);
      FaultPlan plan;
      std::string why;
      if (ok && !parseFaults(o.faults, plan, why)) {
        error = "--faults: " + why;
        ok = false;
      }
    } else if (a == "--seed")
      ok = integer(a, 0, 1LL << 62, o.seed);
    else if (a == "--rois")
      ok = integer(a, 0, 100, o.rois);
    else if (a == "--conditions")
      ok = integer(a, 0, 20, o.conditions), o.conditionsGiven = true;
    else if (a == "--block-volumes")
      ok = integer(a, 1, 100000, o.blockVolumes);
    else if (a == "--classes")
      ok = integer(a, 2, 20, o.classes);
    else if (a == "--noise")
      ok = real(a, 0.0, 10000.0, o.noise);
    else if (a == "--activation")
      ok = real(a, -100.0, 1000.0, o.activationPercent);
    else if (a == "--nifti")
      ok = take(a, o.nifti);
    else if (a == "--bids")
      ok = take(a, o.bids);
    else if (a == "--subject")
      ok = take(a, o.subject);
    else if (a == "--session")
      ok = take(a, o.session);
    else if (a == "--task")
      ok = take(a, o.task);
    else if (a == "--run")
      ok = take(a, o.bidsRun);
    else if (a == "--dicom")
      ok = take(a, o.dicom);
    else if (a == "--parrec")
      ok = take(a, o.parrec);
    else if (a == "--series")
      ok = integer(a, 0, 1000000, o.series);
    else if (a == "--trigger-tty")
      ok = take(a, o.triggerTty);
    else if (a == "--trigger-udp")
      ok = integer(a, 1, 65535, o.triggerUdp);
    else if (a == "--processing-delay-ms")
      ok = integer(a, 0, 600000, o.processingDelayMs);
    else if (a == "--trigger-byte") {
      std::string text;
      ok = take(a, text);
      if (ok && text.size() != 1) {
        error = "--trigger-byte expects one character, not '" + text + "'";
        ok = false;
      }
      if (ok) o.triggerByte = text[0];
    } else if (a == "--start-on") {
      ok = take(a, o.startOn);
      long long n;
      if (ok && o.startOn != "enter" && o.startOn != "trigger-ack" &&
          !(o.startOn.rfind("clients=", 0) == 0 && parseLong(o.startOn.substr(8), 1, 1000, n))) {
        error =
            "--start-on expects enter, clients=N (N from 1 to 1000) or trigger-ack, not '" + o.startOn + "'";
        ok = false;
      }
    } else if (a == "--roi-mask") {
      std::string file;
      ok = take(a, file);
      if (ok) o.roiMasks.push_back(file);
    } else if (a == "--project")
      ok = take(a, o.projectName);
    else if (a == "--watch-folder")
      ok = take(a, o.watchFolder);
    else if (a == "--target-folder")
      ok = take(a, o.targetFolder);
    else if (a == "--feedback-folder")
      ok = take(a, o.feedbackFolder);
    else if (a == "--raw-log")
      o.rawLog = true;
    else if (a == "--client")
      ok = take(a, o.client);
    else if (a == "--dims") {
      ok = integer(a, 1, 1024, o.dims.x) && integer(a, 1, 1024, o.dims.y) && integer(a, 1, 1024, o.dims.z);
      o.dimsGiven = true;
    } else if (a == "--roi-box") {
      std::array<int, 6> box{};
      for (int k = 0; ok && k < 6; ++k) ok = integer(a, -100000, 100000, box[static_cast<size_t>(k)]);
      if (ok) o.roiBoxes.push_back(box);
    } else if (a == "--version") {
      std::string text;
      ok = take(a, text);
      if (ok && !parseVersion(text, o)) {
        error = "--version expects MAJOR.MINOR or MAJOR.MINOR.SUB, not '" + text + "'";
        ok = false;
      }
    } else if (a == "--port") {
      std::string text;
      ok = take(a, text);
      long long v;
      if (ok && text == "cancel")
        o.port = kPortCancelAnswer;
      else if (ok && parseLong(text, 1, 65535, v))
        o.port = static_cast<int>(v);
      else if (ok) {
        error = "--port expects a port from 1 to 65535 or 'cancel', not '" + text + "'";
        ok = false;
      }
    } else {
      error = "unknown option '" + a + "' (see --help)";
      ok = false;
    }
    if (!ok) return ParseResult::Error;
  }
  if (static_cast<long long>(o.dims.x) * o.dims.y * o.dims.z > (1LL << 24)) {
    error = "--dims gives more than 16M voxels per volume";
    return ParseResult::Error;
  }
  const int sources = !o.nifti.empty() + !o.bids.empty() + !o.dicom.empty() + !o.parrec.empty();
  if (sources > 1) {
    error = "give one of --nifti, --bids, --dicom and --parrec";
    return ParseResult::Error;
  }
  if (o.bids.empty() && (!o.subject.empty() || !o.session.empty() || !o.task.empty() || !o.bidsRun.empty())) {
    error = "--subject, --session, --task and --run pick a run of a --bids tree";
    return ParseResult::Error;
  }
  if (o.series >= 0 && o.dicom.empty()) {
    error = "--series picks a series of a --dicom folder";
    return ParseResult::Error;
  }
  if (o.startOn == "trigger-ack" && o.triggerTty.empty()) {
    error = "--start-on trigger-ack waits for a byte on the trigger tty: give --trigger-tty PATH";
    return ParseResult::Error;
  }
  if (o.classes > 0) {
    if (!o.conditionsGiven) o.conditions = std::max(o.conditions, o.classes - 1);
    if (o.conditions < o.classes - 1) {
      error = "--classes " + std::to_string(o.classes) + " needs at least " + std::to_string(o.classes - 1) +
              " task conditions (--conditions): classes are rest and the tasks";
      return ParseResult::Error;
    }
  }
  return ParseResult::Run;
}
