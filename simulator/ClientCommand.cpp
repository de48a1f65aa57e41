#include "simulator/ClientCommand.h"

#if !defined(_WIN32)

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

// Time a client gets to end after SIGTERM before it is killed.
constexpr int kGraceMs = 2000;

}  // namespace

bool ClientCommand::start() {
  if (pid_ > 0 || command_.empty()) return pid_ > 0;
  pid_ = fork();
  if (pid_ == 0) {
    // The simulator blocks these for its own signal thread; the client gets
    // the usual defaults.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execl("/bin/sh", "sh", "-c", command_.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid_ > 0;
}

bool ClientCommand::running() {
  if (pid_ <= 0 || status_ >= 0) return false;
  int raw = 0;
  if (waitpid(pid_, &raw, WNOHANG) == pid_) {
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return false;
  }
  return true;
}

int ClientCommand::stop() {
  if (!running()) return status_;
  kill(pid_, SIGTERM);
  for (int waited = 0; waited < kGraceMs && running(); waited += 10)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (running()) {
    kill(pid_, SIGKILL);
    int raw = 0;
    waitpid(pid_, &raw, 0);
    status_ = -1;
  }
  return status_;
}

#endif  // !_WIN32
