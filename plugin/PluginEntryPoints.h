// The plain entry points through which Nimbrel identifies and creates the
// plug-in.  Names are undecorated (extern "C") so the host finds them by name.
//
// Every text result is owned by the library and stays valid while it is loaded.
// createPlugin returns a new plug-in object that the host owns and deletes
// through NMBPluginInterface's virtual destructor.
#pragma once

#include "plugin/PluginExport.h"

class NMBPluginInterface;

extern "C" {
NMB_PLUGIN_EXPORT const char* getAuthor();
NMB_PLUGIN_EXPORT const char* getHelpFile();
NMB_PLUGIN_EXPORT const char* getPluginDescription();
NMB_PLUGIN_EXPORT const char* getPluginName();
NMB_PLUGIN_EXPORT const char* getPluginVersion();
NMB_PLUGIN_EXPORT NMBPluginInterface* createPlugin();
}

// The function types a host resolves the entry points to.
using PluginTextFunction = const char* (*)();
using CreatePluginFunction = NMBPluginInterface* (*)();
