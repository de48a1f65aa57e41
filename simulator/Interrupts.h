// Ctrl-C and termination requests, turned into a flag the run driver polls.
//
// start() hands Ctrl-C and termination requests (POSIX: SIGINT, SIGTERM, kept
// away from every other thread, the plug-in's included; Windows: the console's
// Ctrl-C, Ctrl-Break and close events) to one watcher: the first one sets the
// flag and calls `onFirst`, a second one ends the process at once with status
// 130.  Call it before any thread is started and before the plug-in is loaded.
#pragma once

#include <atomic>
#include <functional>

namespace interrupts {

void start(std::function<void()> onFirst);
// True once an interrupt arrived (or request() was called).
bool requested();
// Sets the flag as an interrupt would (tests, and the prompt's end of input).
void request();
const std::atomic<bool>& flag();

}  // namespace interrupts
