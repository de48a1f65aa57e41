#include <io.h>
#include <process.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <utility>

#include "simulator/platform/System.h"

namespace simsys {
namespace {

std::string lastErrorText() {
  const DWORD code = GetLastError();
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = n > 0 && text ? std::string(text, n) : "error " + std::to_string(code);
  if (text) LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
    result.pop_back();
  return result;
}

std::function<void()>& interruptHandler() {
  static std::function<void()> handler;
  return handler;
}
std::atomic<bool> interrupted{false};

BOOL WINAPI onConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      if (interrupted.exchange(true)) std::_Exit(130);
      if (interruptHandler()) interruptHandler()();
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

LibraryHandle openLibrary(const std::string& path, std::string& error) {
  HMODULE module = LoadLibraryA(absolutePath(path).c_str());
  if (module == nullptr) error = lastErrorText();
  return reinterpret_cast<LibraryHandle>(module);
}

void* librarySymbol(LibraryHandle library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void closeLibrary(LibraryHandle library) {
  if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}

const char* pluginLibraryFileName() { return "NMBNetworkPlugin.dll"; }

std::vector<std::string> loadHostLibraries(const std::string& programFolder) {
  std::vector<std::string> loaded;
  for (const char* name : {"Qt5Core.dll", "Qt5Network.dll"}) {
    const std::string path = programFolder + "\\" + name;
    // Loaded for the rest of the process's life, as the host's own are.
    if (isFile(path) && LoadLibraryA(path.c_str()) != nullptr) loaded.push_back(name);
  }
  return loaded;
}

bool isFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string absolutePath(const std::string& path) {
  char buffer[MAX_PATH];
  const DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, buffer, nullptr);
  return n > 0 && n < MAX_PATH ? std::string(buffer, n) : path;
}

std::string executablePath() {
  char buffer[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::string(buffer, n) : std::string();
}

std::string currentFolder() {
  char buffer[MAX_PATH];
  const DWORD n = GetCurrentDirectoryA(MAX_PATH, buffer);
  return n > 0 && n < MAX_PATH ? std::string(buffer, n) : ".";
}

std::string environmentVariable(const char* name) {
  const DWORD size = GetEnvironmentVariableA(name, nullptr, 0);
  if (size == 0) return "";
  std::string value(size, '\0');
  const DWORD n = GetEnvironmentVariableA(name, &value[0], size);
  value.resize(n < size ? n : 0);
  return value;
}

void setEnvironmentVariable(const char* name, const std::string& value) {
  // The process's environment block is what CreateProcess hands on; the C
  // runtime keeps a copy of its own for getenv.
  SetEnvironmentVariableA(name, value.c_str());
  _putenv_s(name, value.c_str());
}

bool stdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }
bool stdinIsTerminal() { return _isatty(_fileno(stdin)) != 0; }
bool stderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

InputWait waitForInput(int timeoutMs) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return InputWait::Ended;
  DWORD mode = 0;
  if (GetConsoleMode(input, &mode)) {
    // A console signals for every event (focus, mouse, key up); only a key
    // press with a character is input, the rest is dropped.
    if (WaitForSingleObject(input, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0)
      return InputWait::TimedOut;
    INPUT_RECORD record;
    DWORD count = 0;
    if (!PeekConsoleInputA(input, &record, 1, &count) || count == 0) return InputWait::TimedOut;
    if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
        record.Event.KeyEvent.uChar.AsciiChar)
      return InputWait::Ready;
    ReadConsoleInputA(input, &record, 1, &count);
    return InputWait::TimedOut;
  }
  switch (GetFileType(input)) {
    case FILE_TYPE_PIPE: {
      DWORD available = 0;
      if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) return InputWait::Ended;
      if (available > 0) return InputWait::Ready;
      Sleep(static_cast<DWORD>(timeoutMs < 10 ? timeoutMs : 10));
      return InputWait::TimedOut;
    }
    case FILE_TYPE_DISK:
      return InputWait::Ready;
    default:
      return InputWait::Ended;
  }
}

bool readInputByte(char& c) {
  DWORD n = 0;
  return ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &n, nullptr) && n == 1;
}

void watchInterrupts(std::function<void()> onInterrupt) {
  interruptHandler() = std::move(onInterrupt);
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

std::string findProgram(const std::string& name) {
  std::stringstream folders(environmentVariable("PATH"));
  std::string folder;
  while (std::getline(folders, folder, ';')) {
    for (const char* suffix : {".exe", ""}) {
      const std::string candidate = folder + "\\" + name + suffix;
      const DWORD attributes = GetFileAttributesA(candidate.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return candidate;
    }
  }
  return "";
}

// The program's output goes to the console here; `outputPath` gets a note.
int runProgram(const std::string& program, const std::vector<std::string>& arguments,
               const std::string& outputPath) {
  std::vector<std::string> quoted{"\"" + program + "\""};
  for (const std::string& a : arguments) quoted.push_back("\"" + a + "\"");
  std::vector<const char*> argv;
  for (const std::string& q : quoted) argv.push_back(q.c_str());
  argv.push_back(nullptr);
  if (FILE* note = std::fopen(outputPath.c_str(), "w")) {
    std::fputs("(the program's output went to the console)\n", note);
    std::fclose(note);
  }
  const intptr_t status = _spawnv(_P_WAIT, program.c_str(), argv.data());
  return status < 0 ? -1 : static_cast<int>(status);
}

std::string makeTemporaryFolder(const std::string& prefix) {
  char base[MAX_PATH + 1];
  const DWORD n = GetTempPathA(sizeof base, base);
  if (n == 0 || n > MAX_PATH) return "";
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string folder =
        std::string(base) + prefix + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt);
    if (CreateDirectoryA(folder.c_str(), nullptr)) return folder;
  }
  return "";
}

}  // namespace simsys
