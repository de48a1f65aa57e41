// A minimal neurofeedback loop: at every processed volume, the means of all
// ROIs in one round trip, and a feedback value (ROI 0 relative to the mean of
// the first volumes seen, in percent) with the client's own latency.
//
//   roi_feedback [HOST] [PORT]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "nmbclient/Client.h"
#include "nmbclient/Errors.h"
#include "nmbclient/Subscription.h"

int main(int argc, char** argv) {
  const char* host = argc > 1 ? argv[1] : "127.0.0.1";
  const auto port = static_cast<std::uint16_t>(argc > 2 ? std::atoi(argv[2]) : 55555);
  try {
    nmb::Client client(host, port, std::chrono::seconds(5));
    nmb::Subscription steps(host, port);
    std::printf("connected, %d ROIs\n", client.nrOfRois());
    double baseline = 0;
    int baselineVolumes = 0;
    for (;;) {
      const auto step = steps.next(std::chrono::seconds(30));
      if (!step) break;  // nothing for 30 s
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
