#include "simulator/ClientCommand.h"

#include <chrono>
#include <thread>

#include "simulator/ClientProcess.h"
#include "simulator/platform/System.h"

namespace {

// Time a client gets to end after it was asked to stop, before it is killed.
constexpr int kStopMs = 2000;
constexpr int kPollMs = 10;

void pause() { std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs)); }

}  // namespace

ClientCommand::ClientCommand(std::string command) : command_(std::move(command)) {}

ClientCommand::~ClientCommand() { finish(0); }

bool ClientCommand::start() {
  if (process_ || command_.empty()) return process_ != nullptr;
  process_ = Process::start(command_);
  if (!process_) return false;
  outcome_.kind = Outcome::Kind::Running;
  return true;
}

bool ClientCommand::running() {
  if (!process_ || outcome_.kind != Outcome::Kind::Running) return false;
  return process_->alive(outcome_);
}

ClientCommand::Outcome ClientCommand::finish(int graceMs) {
  if (!process_) return outcome_;
  for (int waited = 0; waited < graceMs && running(); waited += kPollMs) pause();
  // The shell may have ended while something it started still runs: the
  // group is stopped either way.
  if (running() || process_->groupLeft()) {
    process_->askedToStop = running();
    process_->askToStop();
    for (int waited = 0; waited < kStopMs && (running() || process_->groupLeft()); waited += kPollMs) pause();
    if (running() || process_->groupLeft()) process_->kill();
    while (running()) pause();
  }
  process_.reset();
  return outcome_;
}

bool ClientCommand::failed(const Outcome& outcome) {
  switch (outcome.kind) {
    case Outcome::Kind::NotStarted:
    case Outcome::Kind::Signalled:
      return true;
    case Outcome::Kind::Exited:
      return outcome.code != 0;
    case Outcome::Kind::Running:
    case Outcome::Kind::Stopped:
    case Outcome::Kind::Killed:
      return false;
  }
  return false;
}

void ClientCommand::provideClientPackage() {
  const std::string folder = NMB_SIM_PYTHON_CLIENT;
  if (!simsys::isFile(folder + "/nmbclient/__init__.py")) return;
  const std::string current = simsys::environmentVariable("PYTHONPATH");
  simsys::setEnvironmentVariable("PYTHONPATH",
                                 current.empty() ? folder : folder + simsys::kSearchPathSeparator + current);
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
      return "ended by itself on signal " + code + " (" + Process::signalName(outcome.code) + ")";
    case Outcome::Kind::Stopped:
      return "did not end within the grace period and was stopped";
    case Outcome::Kind::Killed:
      return "did not stop when asked and was killed";
  }
  return "";
}
