// The plug-in's identity texts, one place for each.
#pragma once

#include "plugin/PluginVersion.h"

namespace identity {

// The version text, shared by getPluginVersion, getPluginName and the
// "Plugin version" log line.
inline constexpr char kPluginVersion[] = NMB_PLUGIN_VERSION;
inline constexpr char kAuthor[] = "Quandrel";
inline constexpr char kHelpFile[] = "TcpIpExportHelp/index.html";
inline constexpr char kDescription[] =
    "This plugin provides the opportunity to export experiment data through a tcp connection.<br>";
// Filled with kPluginVersion by getPluginName.
inline constexpr char kNameFormat[] = "Network Plugin - Server %s";

}  // namespace identity
