#include "simulator/Console.h"

#include <cstdio>
#include <cstdlib>

#include "simulator/LogMarkup.h"
#include "simulator/platform/System.h"

Console::Console(bool raw, int forceTerminal)
    : raw_(raw),
      terminal_(forceTerminal >= 0 ? forceTerminal != 0 : simsys::stdoutIsTerminal()),
      inputTerminal_(forceTerminal >= 0 ? forceTerminal != 0 : simsys::stdinIsTerminal()) {}

void Console::clearProgressLocked() {
  if (progressShown_) std::fputs("\r\033[K", stdout);
  progressShown_ = false;
}

void Console::drawProgressLocked() {
  if (!terminal_ || progress_.empty()) return;
  std::fputs(progress_.c_str(), stdout);
  progressShown_ = true;
  std::fflush(stdout);
}

void Console::logLine(const std::string& html) {
  std::lock_guard<std::mutex> lock(mutex_);
  clearProgressLocked();
  const std::string text = raw_ ? html : renderLogMarkup(html, terminal_);
  std::fputs(text.c_str(), stdout);
  std::fputc('\n', stdout);
  drawProgressLocked();
  std::fflush(stdout);
}

void Console::messageBox(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  clearProgressLocked();
  std::fflush(stdout);
  std::fprintf(stderr, "[Nimbrel message] %s\n", text.c_str());
  drawProgressLocked();
}

void Console::notice(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  clearProgressLocked();
  std::fflush(stdout);
  std::fprintf(stderr, "nimbrel-sim: %s\n", text.c_str());
  drawProgressLocked();
}

void Console::alert(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  clearProgressLocked();
  std::fflush(stdout);
  const bool colour = simsys::stderrIsTerminal();
  std::fprintf(stderr, "\n%snimbrel-sim: %s%s\n\n", colour ? "\033[1;31m" : "", text.c_str(),
               colour ? "\033[0m" : "");
  drawProgressLocked();
}

void Console::progress(int run, int runs, int volume, int volumes, long long millisecondsLeft) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!terminal_) return;
  const long long seconds = (millisecondsLeft + 999) / 1000;
  char line[160];
  std::snprintf(line, sizeof line, "run %d/%d  volume %d/%d  %lld:%02lld:%02lld left", run, runs, volume,
                volumes, seconds / 3600, seconds / 60 % 60, seconds % 60);
  clearProgressLocked();
  progress_ = line;
  drawProgressLocked();
}

void Console::endProgress() {
  std::lock_guard<std::mutex> lock(mutex_);
  clearProgressLocked();
  progress_.clear();
  std::fflush(stdout);
}

namespace {

// One line from standard input, read without stdio so that the wait can look
// at the interrupt flag.  False at end of input or on an interrupt.
bool readLine(std::string& line, const std::atomic<bool>& stop) {
  line.clear();
  for (;;) {
    if (stop.load()) return false;
    const simsys::InputWait ready = simsys::waitForInput(100);
    if (ready == simsys::InputWait::Ended) return !line.empty();
    if (ready == simsys::InputWait::TimedOut) continue;
    char c;
    if (!simsys::readInputByte(c)) return !line.empty();
    if (c == '\n') return true;
    if (line.size() < 256) line += c;
  }
}

}  // namespace

int Console::askInteger(const std::string& prompt, int defaultValue, int minValue, int maxValue,
                        int cancelValue, const std::atomic<bool>& stop) {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      clearProgressLocked();
      // After pages of build output the question must stand out.
      std::fprintf(stdout, "\n%s>>> Nimbrel asks: %s[Enter: %d; %d to %d, or \"cancel\"]%s ",
                   terminal_ ? "\033[1;7m" : "", prompt.c_str(), defaultValue, minValue, maxValue,
                   terminal_ ? "\033[0m" : "");
      std::fflush(stdout);
    }
    std::string answer;
    if (!readLine(answer, stop)) {
      std::fputc('\n', stdout);
      return cancelValue;
    }
    while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
    if (answer.empty()) return defaultValue;
    if (answer == "cancel") return cancelValue;
    char* end = nullptr;
    const long value = std::strtol(answer.c_str(), &end, 10);
    if (end != nullptr && *end == '\0' && value >= minValue && value <= maxValue)
      return static_cast<int>(value);
    std::fprintf(stdout, "Please enter a whole number from %d to %d.\n", minValue, maxValue);
  }
}
