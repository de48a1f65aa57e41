#include "simulator/ClientCommand.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace {

// Time a client gets to end after it was asked to stop, before it is killed.
constexpr int kStopMs = 2000;
constexpr int kPollMs = 10;

}  // namespace

// POSIX: the command runs as /bin/sh -c CMD, leader of its own process group.
struct ClientCommand::Process {
  pid_t pid = -1;
  bool askedToStop = false;

  // Collects the exit if there is one; true while the shell runs.
  bool alive(Outcome& outcome) {
    int raw = 0;
    if (waitpid(pid, &raw, WNOHANG) != pid) return true;
    outcome.code = WIFEXITED(raw) ? WEXITSTATUS(raw) : WTERMSIG(raw);
    if (askedToStop)
      outcome.kind =
          WIFSIGNALED(raw) && WTERMSIG(raw) == SIGKILL ? Outcome::Kind::Killed : Outcome::Kind::Stopped;
    else
      outcome.kind = WIFEXITED(raw) ? Outcome::Kind::Exited : Outcome::Kind::Signalled;
    return false;
  }

  // True while any process of the command's group is left.
  bool groupLeft() const { return kill(-pid, 0) == 0; }
  void signalGroup(int number) const { kill(-pid, number); }
};

ClientCommand::ClientCommand(std::string command) : command_(std::move(command)) {}

ClientCommand::~ClientCommand() { finish(0); }

bool ClientCommand::start() {
  if (process_ || command_.empty()) return process_ != nullptr;
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    setpgid(0, 0);
    // The simulator blocks these for its own signal thread; the client gets
    // the usual defaults.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execl("/bin/sh", "sh", "-c", command_.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Also here, so the group exists before anyone signals it.
  setpgid(pid, pid);
  process_ = std::make_unique<Process>();
  process_->pid = pid;
  outcome_.kind = Outcome::Kind::Running;
  return true;
}

bool ClientCommand::running() {
  if (!process_ || outcome_.kind != Outcome::Kind::Running) return false;
  return process_->alive(outcome_);
}

ClientCommand::Outcome ClientCommand::finish(int graceMs) {
  if (!process_) return outcome_;
  for (int waited = 0; waited < graceMs && running(); waited += kPollMs)
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  // The shell may have ended while something it started still runs: the
  // group is stopped either way.
  if (running() || process_->groupLeft()) {
    process_->askedToStop = running();
    process_->signalGroup(SIGTERM);
    for (int waited = 0; waited < kStopMs && (running() || process_->groupLeft()); waited += kPollMs)
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    if (running() || process_->groupLeft()) process_->signalGroup(SIGKILL);
    while (running()) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  process_.reset();
  return outcome_;
}

std::string ClientCommand::describe(const Outcome& outcome) {
  const std::string code = std::to_string(outcome.code);
  switch (outcome.kind) {
    case Outcome::Kind::NotStarted:
      return "was not started";
    case Outcome::Kind::Running:
      return "is still running";
    case Outcome::Kind::Exited:
      return "ended with status " + code;
    case Outcome::Kind::Signalled:
      return "ended by itself on signal " + code + " (" + strsignal(outcome.code) + ")";
    case Outcome::Kind::Stopped:
      return "did not end within the grace period and was stopped";
    case Outcome::Kind::Killed:
      return "did not stop when asked and was killed";
  }
  return "";
}
