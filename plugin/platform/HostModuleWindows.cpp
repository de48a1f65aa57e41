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

std::string ownModuleFolder() {
  // The module that holds this very function: NMBNetworkPlugin.dll, wherever
  // Nimbrel loaded it from.  Its reference count is left alone.
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&ownModuleFolder), &self))
    return {};
  // Paths may be longer than MAX_PATH; a full buffer means the name was cut.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(self, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
  const std::wstring::size_type separator = path.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return {};
  path.resize(separator);
  const int size = WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string folder(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, &folder[0], size, nullptr, nullptr);
  folder.resize(static_cast<size_t>(size) - 1);
  return folder;
}

}  // namespace platform
