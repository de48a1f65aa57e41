#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "simulator/platform/System.h"

namespace simsys {

LibraryHandle openLibrary(const std::string& path, std::string& error) {
  // RTLD_LOCAL: the plug-in's own symbols must not satisfy anybody else's
  // lookups; it finds the host functions in the program's global scope.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    error = reason ? reason : "unknown reason";
  }
  return handle;
}

void* librarySymbol(LibraryHandle library, const char* name) { return dlsym(library, name); }

void closeLibrary(LibraryHandle library) {
  if (library != nullptr) dlclose(library);
}

const char* pluginLibraryFileName() { return "libNMBNetworkPlugin.so"; }

// A Linux host's libraries are found by the plug-in's own lookup, not bound by
// module name.
std::vector<std::string> loadHostLibraries(const std::string&) { return {}; }

bool isFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string absolutePath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? resolved : path;
}

std::string executablePath() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string currentFolder() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof buffer) ? buffer : ".";
}

std::string environmentVariable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

void setEnvironmentVariable(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

bool stdoutIsTerminal() { return isatty(STDOUT_FILENO) != 0; }
bool stdinIsTerminal() { return isatty(STDIN_FILENO) != 0; }
bool stderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

InputWait waitForInput(int timeoutMs) {
  pollfd input{STDIN_FILENO, POLLIN, 0};
  const int ready = poll(&input, 1, timeoutMs);
  if (ready < 0) return errno == EINTR ? InputWait::TimedOut : InputWait::Ended;
  return ready == 0 ? InputWait::TimedOut : InputWait::Ready;
}

bool readInputByte(char& c) { return read(STDIN_FILENO, &c, 1) == 1; }

void watchInterrupts(std::function<void()> onInterrupt) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set, onInterrupt]() {
    bool interrupted = false;
    for (;;) {
      int signal = 0;
      if (sigwait(&set, &signal) != 0) continue;
      if (interrupted) std::_Exit(130);
      interrupted = true;
      onInterrupt();
    }
  }).detach();
}

std::string findProgram(const std::string& name) {
  std::stringstream folders(environmentVariable("PATH"));
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

int runProgram(const std::string& program, const std::vector<std::string>& arguments,
               const std::string& outputPath) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int output = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (output < 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    // Only async-signal-safe calls between fork and exec.
    dup2(output, STDOUT_FILENO);
    dup2(output, STDERR_FILENO);
    const int nothing = open("/dev/null", O_RDONLY);
    if (nothing >= 0) dup2(nothing, STDIN_FILENO);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(output);
  if (child < 0) return -1;
  int status = 0;
  while (waitpid(child, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::string makeTemporaryFolder(const std::string& prefix) {
  const std::string base = environmentVariable("TMPDIR").empty() ? "/tmp" : environmentVariable("TMPDIR");
  std::string pattern = base + "/" + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  return mkdtemp(buffer.data()) != nullptr ? std::string(buffer.data()) : std::string();
}

}  // namespace simsys
