// SettingsCopy: nimbrel-sim --settings FILE.  Puts FILE beside the plug-in
// library as NMBNetworkPlugin.ini for the simulator's run, so that a lab can
// try its rules before the scan day, and removes it when the simulator ends.
//
// The copy keeps the lines of FILE where they are, so the plug-in's log names
// the lines of FILE, and ends with a marker line.  A file beside the plug-in
// without the marker belongs to somebody else and is never replaced; one with
// the marker was left by a simulator that was killed, and is.  Two simulators
// with --settings must not share one plug-in folder at a time.
//
//   SettingsCopy copy;
//   if (!copy.place(options.settings, folderOf(pluginPath), error)) return fail(2, error);
#pragma once

#include <string>

class SettingsCopy {
 public:
  SettingsCopy() = default;
  // Removes the copy, if one was placed.
  ~SettingsCopy();
  SettingsCopy(const SettingsCopy&) = delete;
  SettingsCopy& operator=(const SettingsCopy&) = delete;

  // Copies `file` into `pluginFolder`.  False with `error` set when `file`
  // cannot be read, another settings file lies there, or the folder cannot be
  // written.
  bool place(const std::string& file, const std::string& pluginFolder, std::string& error);
  // The copy's path, empty until place() succeeded.
  const std::string& path() const { return path_; }

  // Whether the settings file in `pluginFolder` is a copy an earlier
  // simulator left behind.
  static bool leftoverIn(const std::string& pluginFolder);

  static constexpr char kMarker[] =
      "; copied here by nimbrel-sim --settings for one run; it removes this file";

 private:
  std::string path_;
};
