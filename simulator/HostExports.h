// The 45 functions the simulator exports for the plug-in, under the plain
// names and with exactly the types of the plug-in's host function table.  Each
// forwards to SimHost::instance().  Declared here for the simulator's tests,
// which call them as the plug-in would.
#pragma once

#include "plugin/HostFunctions.h"

#define NMB_SIM_DECLARE_EXPORT(name, type) extern "C" hostfn::name name;
NMB_HOST_FUNCTIONS(NMB_SIM_DECLARE_EXPORT)
#undef NMB_SIM_DECLARE_EXPORT
