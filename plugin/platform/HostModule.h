// The platform layer: finds the host module loaded into this process and the
// functions it exports by name, and the folder the plug-in itself was loaded
// from.  Nothing else in the plug-in touches the platform's module functions.
//
// Windows: the module named "Nimbrel.exe" (GetModuleHandleA) and GetProcAddress.
// Linux and other POSIX systems: the program that loaded the plug-in, whose
// exported symbols are searched with dlsym, so a host executable that exports the
// host functions is found exactly as Nimbrel.exe is on Windows.
//
// This header is free of Qt so that the Windows unit builds with a plain
// cross compiler.
#pragma once

#include <string>

namespace platform {

using ModuleHandle = void*;

// The host module, or null when the process holds none.
ModuleHandle findHostModule();

// The address of the function `name` exported by `module`, or null.
void* findExportedFunction(ModuleHandle module, const char* name);

// Adds `folder` (8-bit text) to the directories searched for dynamic libraries.
// Returns whether the platform accepted it; callers may ignore the result.
bool addLibraryDirectory(const char* folder);

// The folder of the library (or program) this code was linked into, as UTF-8
// text with '/' or the platform's separator; empty when the platform cannot
// tell.  Windows: the module that holds this function (GetModuleHandleExW by
// address, GetModuleFileNameW); POSIX: dladdr.  Any thread.
std::string ownModuleFolder();

}  // namespace platform
