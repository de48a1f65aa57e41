// NMBPluginInterface: the abstract interface through which Nimbrel drives a
// plug-in.
//
// Slot order is part of the binary contract with the host: destructor, then
// initPlugin, executePreRun, executePreStep, executePostStep, executePostRun.
// Every operation is called on the host's thread and returns true on success.
//
//   NMBPluginInterface* plugin = createPlugin();
//   if (plugin->initPlugin()) { plugin->executePreRun(0); ... }
//   delete plugin;
#pragma once

#include "plugin/PluginExport.h"

class NMB_PLUGIN_EXPORT NMBPluginInterface {
 public:
  NMBPluginInterface();
  NMBPluginInterface(const NMBPluginInterface& other);
  virtual ~NMBPluginInterface();
  // Copies nothing: the interface has no state.
  NMBPluginInterface& operator=(const NMBPluginInterface& other);

  virtual bool initPlugin() = 0;
  virtual bool executePreRun(unsigned short) = 0;
  virtual bool executePreStep() = 0;
  virtual bool executePostStep() = 0;
  virtual bool executePostRun() = 0;
};
