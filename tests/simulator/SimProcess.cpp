#include "tests/simulator/SimProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

std::string readFile(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string tempPath(const char* what) {
  static std::atomic<int> counter{0};
  return "/tmp/nimbrel-sim-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "." + what;
}

}  // namespace

SimProcess::SimProcess(const std::vector<std::string>& args)
    : outPath_(tempPath("out")), errPath_(tempPath("err")) {
  pid_ = fork();
  if (pid_ == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    // The test runner may have blocked signals; the simulator expects defaults.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
}

SimProcess::~SimProcess() {
  if (running()) {
    kill(pid_, SIGKILL);
    wait(5000);
  }
  unlink(outPath_.c_str());
  unlink(errPath_.c_str());
}

bool SimProcess::running() {
  if (pid_ <= 0 || status_ >= 0) return false;
  int raw = 0;
  const pid_t done = waitpid(pid_, &raw, WNOHANG);
  if (done == pid_) {
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return false;
  }
  return done == 0;
}

int SimProcess::wait(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (running()) {
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_;
}

void SimProcess::signal(int number) {
  if (running()) kill(pid_, number);
}

std::string SimProcess::out() const { return readFile(outPath_); }
std::string SimProcess::err() const { return readFile(errPath_); }

