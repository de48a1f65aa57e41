#include "simulator/SettingsCopy.h"

#include <cstdio>
#include <fstream>
#include <iterator>

namespace {

constexpr char kFileName[] = "NMBNetworkPlugin.ini";

bool readWhole(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool endsWithMarker(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const std::string marker = SettingsCopy::kMarker;
  return text.size() >= marker.size() &&
         text.compare(text.size() - marker.size(), marker.size(), marker) == 0;
}

}  // namespace

SettingsCopy::~SettingsCopy() {
  if (!path_.empty()) std::remove(path_.c_str());
}

bool SettingsCopy::leftoverIn(const std::string& pluginFolder) {
  std::string text;
  return readWhole(pluginFolder + "/" + kFileName, text) && endsWithMarker(text);
}

bool SettingsCopy::place(const std::string& file, const std::string& pluginFolder, std::string& error) {
  std::string text;
  if (!readWhole(file, text)) {
    error = "--settings: cannot read " + file;
    return false;
  }
  const std::string target = pluginFolder + "/" + kFileName;
  std::string existing;
  if (readWhole(target, existing) && !endsWithMarker(existing)) {
    error = "--settings: " + target +
            " exists already and is left alone; without --settings the plug-in reads it as it is";
    return false;
  }
  if (!text.empty() && text.back() != '\n') text += '\n';
  text += std::string(kMarker) + '\n';
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    std::remove(target.c_str());
    error = "--settings: cannot write " + target;
    return false;
  }
  path_ = target;
  return true;
}
