#include "simulator/PluginObject.h"

// Defined in PluginSlots.cpp, compiled for the host's C++ ABI.
extern "C" {
bool nmbHostCallInitPlugin(void* plugin);
bool nmbHostCallExecutePreRun(void* plugin, unsigned short port);
bool nmbHostCallExecutePreStep(void* plugin);
bool nmbHostCallExecutePostStep(void* plugin);
bool nmbHostCallExecutePostRun(void* plugin);
void nmbHostDeletePlugin(void* plugin);
}

PluginObject::~PluginObject() { nmbHostDeletePlugin(object_); }

bool PluginObject::initPlugin() { return nmbHostCallInitPlugin(object_); }
bool PluginObject::executePreRun(unsigned short port) { return nmbHostCallExecutePreRun(object_, port); }
bool PluginObject::executePreStep() { return nmbHostCallExecutePreStep(object_); }
bool PluginObject::executePostStep() { return nmbHostCallExecutePostStep(object_); }
bool PluginObject::executePostRun() { return nmbHostCallExecutePostRun(object_); }
