#include "simulator/LogMarkup.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr char kBoldOn[] = "\033[1m";
constexpr char kBoldOff[] = "\033[22m";

std::string tagName(const std::string& tag) {
  std::string name;
  for (char c : tag) {
    if (c == ' ' || c == '/') {
      if (!name.empty()) break;
      if (c == '/') name += '/';
      continue;
    }
    name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return name;
}

}  // namespace

std::string renderLogMarkup(const std::string& html, bool bold) {
  static const std::pair<const char*, const char*> kEntities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}, {"&quot;", "\""}, {"&nbsp;", " "}};
  std::string out;
  size_t i = 0;
  while (i < html.size()) {
    const char c = html[i];
    if (c == '<') {
      const size_t end = html.find('>', i + 1);
      if (end == std::string::npos) {
        out += html.substr(i);
        break;
      }
      const std::string name = tagName(html.substr(i + 1, end - i - 1));
      if (name == "br")
        out += '\n';
      else if (name == "b" && bold)
        out += kBoldOn;
      else if (name == "/b" && bold)
        out += kBoldOff;
      i = end + 1;
      continue;
    }
    if (c == '&') {
      bool matched = false;
      for (const auto& entity : kEntities) {
        const std::string key = entity.first;
        if (html.compare(i, key.size(), key) == 0) {
          out += entity.second;
          i += key.size();
          matched = true;
          break;
        }
      }
      if (matched) continue;
    }
    out += c;
    ++i;
  }
  return out;
}
