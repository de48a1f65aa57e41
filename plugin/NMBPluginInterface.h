// NMBPluginInterface: the abstract interface through which Nimbrel drives a
// plug-in.
//
// Its virtual table is a binary contract with the host, which calls the
// operations by slot number, as its own compiler (MSVC) laid them out:
//
//   slot 0  the destructor: void* (object, unsigned flags); bit 0 of `flags`
//           set means the memory is freed as well; returns the object
//   slot 1  initPlugin        slot 3  executePreStep    slot 5  executePostRun
//   slot 2  executePreRun     slot 4  executePostStep
//
// MSVC gives a virtual destructor exactly that one slot.  GCC and Clang on the
// Itanium C++ ABI, MinGW among them, give it two (complete and deleting),
// which would move every operation one slot down in a Windows DLL.  So in a
// Windows build by such a compiler slot 0 is an ordinary virtual function
// written to the host's contract, and the C++ destructor is protected and not
// virtual: the plug-in is deleted only through slot 0, as the host does it.
// Elsewhere (MSVC, and the Linux library, whose hosts are built with the same
// compiler) the destructor is the plain virtual one.
//
// Every operation is called on the host's thread and returns true on success.
//
//   NMBPluginInterface* plugin = createPlugin();
//   if (plugin->initPlugin()) { plugin->executePreRun(0); ... }
//   delete plugin;  // a host built with MSVC; under MinGW: slot 0, flags 1
#pragma once

#include "plugin/PluginExport.h"

#if defined(_WIN32) && !defined(_MSC_VER)
#define NMB_HOST_LAYOUT_DESTRUCTOR_SLOT 1
#else
#define NMB_HOST_LAYOUT_DESTRUCTOR_SLOT 0
#endif

class NMB_PLUGIN_EXPORT NMBPluginInterface {
 public:
  NMBPluginInterface();
  NMBPluginInterface(const NMBPluginInterface& other);
  // Copies nothing: the interface has no state.
  NMBPluginInterface& operator=(const NMBPluginInterface& other);

#if NMB_HOST_LAYOUT_DESTRUCTOR_SLOT
  // Slot 0, the destructor as the host calls it: destroys the whole plug-in
  // object and, when bit 0 of `flags` is set, frees its memory.  Returns the
  // object it was called on.
  virtual void* deletingDestructor(unsigned int flags) = 0;
#else
  virtual ~NMBPluginInterface();
#endif

  virtual bool initPlugin() = 0;
  virtual bool executePreRun(unsigned short) = 0;
  virtual bool executePreStep() = 0;
  virtual bool executePostStep() = 0;
  virtual bool executePostRun() = 0;

#if NMB_HOST_LAYOUT_DESTRUCTOR_SLOT
 protected:
  ~NMBPluginInterface();
#endif
};
