// Windows implementation of the host module lookup.  Kept free of Qt.
#include "plugin/platform/HostModule.h"

#include <windows.h>

#include <string>

namespace platform {

ModuleHandle findHostModule() { return reinterpret_cast<ModuleHandle>(GetModuleHandleA("Nimbrel.exe")); }

void* findExportedFunction(ModuleHandle module, const char* name) {
  if (module == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

bool addLibraryDirectory(const char* folder) {
  // AddDllDirectory takes a wide path; the host hands us its 8-bit (ANSI) text.
  int length = MultiByteToWideChar(CP_ACP, 0, folder, -1, nullptr, 0);
  if (length <= 0) return false;
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, folder, -1, &wide[0], length);
  return AddDllDirectory(wide.c_str()) != nullptr;
}

}  // namespace platform
