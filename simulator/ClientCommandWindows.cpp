#include <windows.h>

#include "simulator/ClientProcess.h"

namespace {

// cmd.exe /c CMD in a console process group of its own (so Ctrl-Break can be
// sent to it alone) and in a job object that holds everything it starts.
struct WindowsProcess : ClientCommand::Process {
  HANDLE process = nullptr;
  HANDLE job = nullptr;
  DWORD id = 0;

  ~WindowsProcess() override {
    if (job != nullptr) CloseHandle(job);
    if (process != nullptr) CloseHandle(process);
  }

  bool alive(ClientCommand::Outcome& outcome) override {
    using Kind = ClientCommand::Outcome::Kind;
    if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) return true;
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    outcome.code = static_cast<int>(code);
    outcome.kind = askedToStop ? Kind::Stopped : Kind::Exited;
    return false;
  }
  bool groupLeft() override {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
    if (job == nullptr ||
        !QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info, nullptr))
      return false;
    return info.ActiveProcesses > 0;
  }
  void askToStop() override { GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, id); }
  void kill() override {
    if (job != nullptr) TerminateJobObject(job, 1);
    TerminateProcess(process, 1);
  }
};

}  // namespace

std::unique_ptr<ClientCommand::Process> ClientCommand::Process::start(const std::string& command) {
  std::string line = "cmd.exe /c " + command;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  // Suspended until it is in its job, so nothing it starts escapes the job.
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP,
                      nullptr, nullptr, &startup, &info))
    return nullptr;
  auto process = std::make_unique<WindowsProcess>();
  process->process = info.hProcess;
  process->id = info.dwProcessId;
  process->job = CreateJobObjectA(nullptr, nullptr);
  if (process->job != nullptr) AssignProcessToJobObject(process->job, info.hProcess);
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  return process;
}

std::string ClientCommand::Process::signalName(int) { return ""; }
