// The one export macro of the plug-in library.
//
// The library is built with hidden symbol visibility, so only declarations
// marked NMB_PLUGIN_EXPORT are visible to the host: the identity functions,
// createPlugin, the NMBPluginInterface class and the listed TcpIpExport members.
// On Windows the macro means dllexport while the library is built and dllimport
// for code that uses the library; elsewhere it means default visibility.
#pragma once

#if defined(_WIN32)
#  if defined(NMB_BUILDING_PLUGIN)
#    define NMB_PLUGIN_EXPORT __declspec(dllexport)
#  else
#    define NMB_PLUGIN_EXPORT __declspec(dllimport)
#  endif
#  define NMB_HOST_CALL __cdecl
#else
#  define NMB_PLUGIN_EXPORT __attribute__((visibility("default")))
#  define NMB_HOST_CALL
#endif
