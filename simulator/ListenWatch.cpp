#include "simulator/ListenWatch.h"

namespace {

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

ListenWatch::Seen ListenWatch::observe(const std::string& html, bool fromHostThread) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (startsWith(html, "<b>Error</b> - ") && html.find("port") != std::string::npos) {
    failing_ = true;
    lastFailure_ = html;
    return Seen::Failure;
  }
  if (!fromHostThread && failing_ && html.find("Listening on port: <b>") != std::string::npos) {
    failing_ = false;
    recovered_ = true;
    return Seen::Recovery;
  }
  return Seen::Other;
}

bool ListenWatch::failing() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failing_;
}

bool ListenWatch::neverListened() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failing_ && !recovered_;
}

std::string ListenWatch::lastFailure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastFailure_;
}
