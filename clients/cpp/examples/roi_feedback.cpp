// A minimal neurofeedback loop: at every processed volume, the means of all
// ROIs in one round trip, and a feedback value (ROI 0 relative to the mean of
// the first volumes seen, in percent) with the client's own latency.
//
//   roi_feedback [--wait SECONDS] [HOST] [PORT]
//
// --wait lets it start before the host (Nimbrel or nimbrel-sim) and wait for
// it.  Exit status: 0 after the run, 1 when the connection failed or was lost,
// 2 for a usage error.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "nmbclient/Client.h"
#include "nmbclient/Errors.h"
#include "nmbclient/Subscription.h"

namespace {

const char kUsage[] =
    "usage: roi_feedback [--wait SECONDS] [HOST] [PORT]\n"
    "Prints the ROI means and a feedback value (ROI 0 against its first volumes, in percent)\n"
    "at every volume the plug-in reports, until the run ends.\n"
    "  HOST             the host running the plug-in (default 127.0.0.1)\n"
    "  PORT             its port (default 55555)\n"
    "  --wait SECONDS   wait up to SECONDS for the host to appear (default: fail at once)\n";

// A whole number from `low` to `high`, or false.
bool wholeNumber(const char* text, long low, long high, long& value) {
  char* end = nullptr;
  value = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && value >= low && value <= high;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "roi_feedback: %s\n%s", message.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> positional;
  long waitSeconds = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--wait") {
      if (i + 1 >= argc || !wholeNumber(argv[i + 1], 0, 86400, waitSeconds))
        return usageError("--wait needs a number of seconds from 0 to 86400");
      ++i;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usageError("unknown option " + arg);
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() > 2) return usageError("too many arguments");
  const std::string host = !positional.empty() ? positional[0] : "127.0.0.1";
  long port = 55555;
  if (positional.size() > 1 && !wholeNumber(positional[1].c_str(), 1, 65535, port))
    return usageError("the port is a whole number from 1 to 65535, not '" + positional[1] + "'");

  try {
    const nmb::WaitForHost wait{std::chrono::seconds(waitSeconds)};
    nmb::Subscription steps(host, static_cast<std::uint16_t>(port), std::chrono::seconds(5), wait);
    nmb::Client client(host, static_cast<std::uint16_t>(port), std::chrono::seconds(5), wait);
    std::printf("connected, %d ROIs\n", client.nrOfRois());
    double baseline = 0;
    int baselineVolumes = 0;
    for (;;) {
      const auto step = steps.next(std::chrono::seconds(30));
      if (!step) break;  // nothing for 30 s, or the host ended after the run
      if (step->isPostRun()) break;
      if (!step->isPostStep()) continue;
      const std::vector<float> means = client.meansOfAllRois();
      if (means.empty()) continue;
      if (baselineVolumes < 5) baseline += (means[0] - baseline) / ++baselineVolumes;
      const double feedback = baseline != 0 ? 100.0 * (means[0] - baseline) / baseline : 0.0;
      const auto latency =
          std::chrono::duration<double, std::milli>(client.lastReceiveTime() - step->received).count();
      std::printf("volume %3d  ROI 0 %8.2f  feedback %+6.2f %%  (%.2f ms after the step)\n", step->timePoint,
                  means[0], feedback, latency);
    }
  } catch (const nmb::ClientError& e) {
    std::fprintf(stderr, "roi_feedback: %s\n", e.what());
    return 1;
  }
  return 0;
}
