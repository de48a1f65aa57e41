// Follows a run in step with the scanner's trigger, as a stimulus program
// does: waits for the first trigger, then says for each volume the plug-in
// reports which trigger it came from and how long after it the host's
// "PreStepCalled" arrived; flags a volume that lags well behind the others,
// a volume without a trigger (missed) and a trigger that comes twice.
//
//   nmb_trigger_follower [--trigger-port PORT] [--wait SECONDS] [HOST] [PORT]
//
// The triggers are UDP datagrams "Nimbrel Trigger: RUN VOLUME SECONDS" on
// 127.0.0.1 (nimbrel-sim --trigger-udp PORT).  Exit status: 0 after the run,
// 1 when the connection failed or was lost, 2 for a usage error.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "nmbclient/Errors.h"
#include "nmbclient/Socket.h"
#include "nmbclient/Subscription.h"

namespace {

const char kUsage[] =
    "usage: nmb_trigger_follower [--trigger-port PORT] [--wait SECONDS] [HOST] [PORT]\n"
    "Waits for the scanner's first trigger, then says for each volume which trigger it came from,\n"
    "how long after it the host's pre-step arrived, and which triggers are missing or extra.\n"
    "  HOST                the host running the plug-in (default 127.0.0.1)\n"
    "  PORT                its port (default 55555)\n"
    "  --trigger-port P    the UDP port the triggers come to on 127.0.0.1 (default 55600)\n"
    "  --wait SECONDS      wait up to SECONDS for the host to appear (default: fail at once)\n";

// A pre-step this much later than the typical delay (and 20 ms more) lags.
constexpr double kLagFactor = 1.5;

bool wholeNumber(const char* text, long low, long high, long& value) {
  char* end = nullptr;
  value = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && value >= low && value <= high;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "nmb_trigger_follower: %s\n%s", message.c_str(), kUsage);
  return 2;
}

// The volume number of a trigger datagram, or nothing.
std::optional<int> triggerVolume(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  int run = 0, volume = 0;
  double seconds = 0;
  char end = 0;
  if (std::sscanf(text.c_str(), "Nimbrel Trigger: %d %d %lf%c", &run, &volume, &seconds, &end) != 3)
    return {};
  return volume;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> positional;
  long waitSeconds = 0, triggerPort = 55600;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--wait" || arg == "--trigger-port") {
      long& target = arg == "--wait" ? waitSeconds : triggerPort;
      const long low = arg == "--wait" ? 0 : 1, high = arg == "--wait" ? 86400 : 65535;
      if (i + 1 >= argc || !wholeNumber(argv[i + 1], low, high, target))
        return usageError(arg + " needs a whole number from " + std::to_string(low) + " to " +
                          std::to_string(high));
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
    nmb::net::UdpReceiver triggers(static_cast<std::uint16_t>(triggerPort),
                                   nmb::net::UdpReceiver::Scope::Loopback);
    // Subscribed before the first trigger: the host's steps wait in the
    // connection until the program follows them.
    const nmb::WaitForHost wait{std::chrono::seconds(waitSeconds)};
    nmb::Subscription steps(host, static_cast<std::uint16_t>(port), std::chrono::seconds(5), wait);
    std::printf("waiting for the scanner's first trigger on udp 127.0.0.1:%ld\n", triggerPort);
    std::fflush(stdout);
    std::map<int, nmb::net::Clock::time_point> triggerAt;  // volume -> its first trigger
    std::vector<double> delays;
    std::vector<int> missed;
    int extra = 0, volumes = 0;
    bool heard = false;
    for (;;) {
      std::uint8_t datagram[512];
      std::string from;
      const auto deadline = nmb::net::Clock::now() + std::chrono::milliseconds(5);
      for (std::size_t n; (n = triggers.receive(datagram, sizeof datagram, deadline, from)) > 0;) {
        const auto arrival = nmb::net::Clock::now();
        const std::optional<int> volume = triggerVolume(datagram, n);
        if (!volume) continue;
        const auto first = triggerAt.find(*volume);
        if (first != triggerAt.end()) {
          ++extra;
          std::printf("extra trigger for volume %d, %.0f ms after its first\n", *volume,
                      std::chrono::duration<double, std::milli>(arrival - first->second).count());
          continue;
        }
        triggerAt[*volume] = arrival;
        if (!heard) std::printf("first trigger: volume %d\n", *volume);
        heard = true;
      }
      if (!heard) continue;
      const auto step = steps.next(std::chrono::milliseconds(0));
      if (!step) {
        if (steps.ended()) break;
        continue;
      }
      if (step->isPostRun()) {
        std::printf("run ended after %d volumes: %zu without a trigger, %d extra triggers\n", volumes,
                    missed.size(), extra);
        break;
      }
      if (!step->isPreStep() || step->repeated) continue;
      ++volumes;
      const auto trigger = triggerAt.find(step->timePoint);
      if (trigger == triggerAt.end()) {
        missed.push_back(step->timePoint);
        std::printf("volume %3d: no trigger (missed)\n", step->timePoint);
      } else {
        const double delay =
            std::chrono::duration<double, std::milli>(step->received - trigger->second).count();
        const double typical = delays.empty() ? delay : median(delays);
        delays.push_back(delay);
        std::printf("volume %3d: trigger %d, pre-step %.0f ms after it", step->timePoint, step->timePoint,
                    delay);
        if (delay > kLagFactor * typical + 20) std::printf("  LAGS (typically %.0f ms)", typical);
        std::printf("\n");
      }
      std::fflush(stdout);
    }
  } catch (const nmb::ClientError& e) {
    std::fprintf(stderr, "nmb_trigger_follower: %s\n", e.what());
    return 1;
  }
  return 0;
}
