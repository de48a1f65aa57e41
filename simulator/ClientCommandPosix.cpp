#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "simulator/ClientProcess.h"

namespace {

// /bin/sh -c CMD, leader of its own process group.
struct PosixProcess : ClientCommand::Process {
  pid_t pid = -1;

  bool alive(ClientCommand::Outcome& outcome) override {
    using Kind = ClientCommand::Outcome::Kind;
    int raw = 0;
    if (waitpid(pid, &raw, WNOHANG) != pid) return true;
    outcome.code = WIFEXITED(raw) ? WEXITSTATUS(raw) : WTERMSIG(raw);
    if (askedToStop)
      outcome.kind = WIFSIGNALED(raw) && WTERMSIG(raw) == SIGKILL ? Kind::Killed : Kind::Stopped;
    else
      outcome.kind = WIFEXITED(raw) ? Kind::Exited : Kind::Signalled;
    return false;
  }
  bool groupLeft() override { return ::kill(-pid, 0) == 0; }
  void askToStop() override { ::kill(-pid, SIGTERM); }
  void kill() override { ::kill(-pid, SIGKILL); }
};

}  // namespace

std::unique_ptr<ClientCommand::Process> ClientCommand::Process::start(const std::string& command) {
  const pid_t pid = fork();
  if (pid < 0) return nullptr;
  if (pid == 0) {
    setpgid(0, 0);
    // The simulator blocks these for its own signal thread; the client gets
    // the usual defaults.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Also here, so the group exists before anyone signals it.
  setpgid(pid, pid);
  auto process = std::make_unique<PosixProcess>();
  process->pid = pid;
  return process;
}

std::string ClientCommand::Process::signalName(int number) { return strsignal(number); }
