// ClientCommand on Windows: the command runs through cmd.exe in a job object,
// so that stopping it ends everything it started.
#include "simulator/ClientCommand.h"

#if defined(_WIN32)

#include <windows.h>

#include <map>
#include <mutex>

namespace {

// Time a client gets to end by itself before it is ended.
constexpr DWORD kGraceMs = 2000;

struct Running {
  HANDLE process = nullptr;
  HANDLE job = nullptr;
};

// The header keeps only the process id; the handles live here.
std::mutex runningMutex;
std::map<const ClientCommand*, Running> runningCommands;

}  // namespace

bool ClientCommand::start() {
  if (pid_ > 0 || command_.empty()) return pid_ > 0;
  std::string line = "cmd.exe /c " + command_;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                      &info))
    return false;
  Running entry;
  entry.process = info.hProcess;
  entry.job = CreateJobObjectA(nullptr, nullptr);
  if (entry.job != nullptr) AssignProcessToJobObject(entry.job, info.hProcess);
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  pid_ = static_cast<pid_t>(info.dwProcessId);
  std::lock_guard<std::mutex> lock(runningMutex);
  runningCommands[this] = entry;
  return true;
}

bool ClientCommand::running() {
  if (pid_ <= 0 || status_ >= 0) return false;
  std::lock_guard<std::mutex> lock(runningMutex);
  const auto found = runningCommands.find(this);
  if (found == runningCommands.end()) return false;
  if (WaitForSingleObject(found->second.process, 0) != WAIT_OBJECT_0) return true;
  DWORD code = 0;
  GetExitCodeProcess(found->second.process, &code);
  status_ = static_cast<int>(code);
  return false;
}

int ClientCommand::stop() {
  Running entry;
  {
    std::lock_guard<std::mutex> lock(runningMutex);
    const auto found = runningCommands.find(this);
    if (found == runningCommands.end()) return status_;
    entry = found->second;
  }
  if (status_ < 0 && WaitForSingleObject(entry.process, kGraceMs) != WAIT_OBJECT_0) {
    if (entry.job != nullptr) TerminateJobObject(entry.job, 1);
    TerminateProcess(entry.process, 1);
    WaitForSingleObject(entry.process, INFINITE);
    status_ = -1;
  } else if (status_ < 0) {
    DWORD code = 0;
    GetExitCodeProcess(entry.process, &code);
    status_ = static_cast<int>(code);
  }
  if (entry.job != nullptr) {
    TerminateJobObject(entry.job, 1);
    CloseHandle(entry.job);
  }
  CloseHandle(entry.process);
  std::lock_guard<std::mutex> lock(runningMutex);
  runningCommands.erase(this);
  return status_;
}

#endif  // _WIN32
