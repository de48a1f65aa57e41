#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
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

}  // namespace simsys
