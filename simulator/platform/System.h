// The simulator's platform layer: the few operating-system services a host
// program needs beyond standard C++ (loading the plug-in library, where files
// are, the environment a client command inherits, who listens on a port, the
// console's input and interrupts).  One implementation per platform:
// SystemPosix.cpp (Linux) and SystemWindows.cpp (Windows, as Nimbrel.exe).
// Nothing else in the simulator includes a system header for these.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace simsys {

// --- Dynamic libraries ---------------------------------------------------

using LibraryHandle = void*;

// Loads the library at `path` with everything it needs resolved now, as
// Nimbrel loads a plug-in: by its path, with the platform's ordinary search
// for the libraries it depends on (on Windows: the program's folder, the
// system folders and PATH, not the plug-in's own folder).  Null with `error`
// set when it cannot be loaded.
LibraryHandle openLibrary(const std::string& path, std::string& error);
// The address of the function `name` the library exports, or null.
void* librarySymbol(LibraryHandle library, const char* name);
void closeLibrary(LibraryHandle library);
// The file name a plug-in library has on this platform.
const char* pluginLibraryFileName();
// Nimbrel loads its own Qt libraries before any plug-in, and on Windows a
// library whose module name is already loaded is reused wherever it came
// from.  The simulator does the same with the Qt libraries beside its program
// (stand-ins in the Windows build).  Returns the names of those it loaded;
// none where the platform has no such rule.
std::vector<std::string> loadHostLibraries(const std::string& programFolder);

// --- Files and folders ---------------------------------------------------

// The characters that separate folders in a path.
#if defined(_WIN32)
constexpr char kPathSeparators[] = "\\/";
#else
constexpr char kPathSeparators[] = "/";
#endif

bool isFile(const std::string& path);
// `path` made absolute, with links resolved where the platform has them; the
// path unchanged when that fails.
std::string absolutePath(const std::string& path);
// The full path of the running executable ("" if unknown).
std::string executablePath();
std::string currentFolder();

// --- Environment -------------------------------------------------------

// The value of the environment variable `name`, "" when it is not set.
std::string environmentVariable(const char* name);
// Sets `name` for this process and every program it starts afterwards.  Call
// before any other thread exists: the C library's environment must not change
// while another thread may read it.
void setEnvironmentVariable(const char* name, const std::string& value);

// The character between the folders of a search path (PATH, PYTHONPATH).
#if defined(_WIN32)
constexpr char kSearchPathSeparator = ';';
#else
constexpr char kSearchPathSeparator = ':';
#endif

// --- Programs ----------------------------------------------------------

// The full path of program `name` found on PATH ("" when absent).
std::string findProgram(const std::string& name);
// Runs `program` with `arguments`, its output into the file `outputPath`, and
// waits for it.  Its exit status, or -1 when it could not be started.
int runProgram(const std::string& program, const std::vector<std::string>& arguments,
               const std::string& outputPath);
// A new empty folder for this process's temporary files ("" on failure).
std::string makeTemporaryFolder(const std::string& prefix);

// --- Network ---------------------------------------------------------------

// True when a TCP socket of this very process listens on `port` (on any local
// address).  Tells the plug-in's own listener apart from another program
// holding the port.  Implemented in Listeners*.cpp.
bool processListensOn(int port);

// --- The scanner's trigger ---------------------------------------------------

// A pseudo-terminal playing a trigger box's serial port: the simulator writes
// to one end, a stimulus program opens the other through a link at `link`.
struct TriggerTerminal {
  int writer = -1;    // the simulator's end
  int otherEnd = -1;  // held open (in raw mode) so that the line stays up
  std::string link;
};
// Whether this platform has pseudo-terminals (Windows has no counterpart here).
bool hasTriggerTerminal();
// Opens the pseudo-terminal in raw mode and makes `link` a link to its other
// end (an existing link is replaced, any other file is not).
bool openTriggerTerminal(const std::string& link, TriggerTerminal& terminal, std::string& error);
bool writeTriggerTerminal(TriggerTerminal& terminal, char byte);
// Waits up to `timeoutMs` for bytes the stimulus program sends back; true
// when some came (they are read and dropped).
bool triggerTerminalAnswered(TriggerTerminal& terminal, int timeoutMs);
// Removes the link and closes both ends.
void closeTriggerTerminal(TriggerTerminal& terminal);

// A UDP socket that sends to 127.0.0.1 only; -1 with `error` set on failure.
long long openLoopbackSender(std::string& error);
bool sendLoopbackDatagram(long long sender, int port, const std::string& datagram);
void closeLoopbackSender(long long sender);

// The seconds since 1970 on the wall clock, to the microsecond.
double wallClockSeconds();

// The connections to this process's `port` whose client has announced itself
// with one role message and sent nothing since, and that have had the
// handshake's answer: execute clients, and request clients that have not
// asked anything yet.  -1 when the platform cannot tell.  Implemented in
// Listeners*.cpp.
int countAnnouncedConnections(int port);

// --- Console ---------------------------------------------------------------

bool stdoutIsTerminal();
bool stdinIsTerminal();
bool stderrIsTerminal();

enum class InputWait { Ready, TimedOut, Ended };
// Waits up to `timeoutMs` for input on standard input.  Ended means no more
// input can come (closed, or an error).
InputWait waitForInput(int timeoutMs);
// Reads one byte of standard input; false at its end.  Call after Ready.
bool readInputByte(char& c);

// --- Interrupts ----------------------------------------------------------

// Ctrl-C, Ctrl-Break, closing the console window and termination requests:
// the first calls `onInterrupt` (on a thread of the platform's choosing), a
// second ends the process at once with status 130.  Call before any other
// thread is started: on POSIX the signals are blocked in the calling thread
// so that every thread created afterwards inherits the mask and only the
// watcher sees them.
void watchInterrupts(std::function<void()> onInterrupt);

}  // namespace simsys
