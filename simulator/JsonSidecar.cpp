#include "simulator/JsonSidecar.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

// A recursive-descent reader of one JSON document; depth-limited so that a
// hostile file cannot exhaust the stack.
class Reader {
 public:
  explicit Reader(const std::string& text) : text_(text) {}

  bool document(std::map<std::string, JsonValue>& values) {
    space();
    if (!take('{')) return fail("expected an object");
    space();
    if (take('}')) return end();
    for (;;) {
      std::string key;
      space();
      if (!string(key)) return false;
      space();
      if (!take(':')) return fail("expected ':'");
      space();
      JsonValue value;
      if (peek() == '"') {
        if (!string(value.text)) return false;
      } else if (peek() == '-' || std::isdigit(static_cast<unsigned char>(peek()))) {
        if (!number(value)) return false;
      } else if (!skipValue(1)) {
        return false;
      }
      values[key] = value;
      space();
      if (take('}')) return end();
      if (!take(',')) return fail("expected ',' or '}'");
    }
  }

  size_t position() const { return position_; }
  const std::string& problem() const { return problem_; }

 private:
  static constexpr int kMaxDepth = 64;

  char peek() const { return position_ < text_.size() ? text_[position_] : '\0'; }
  bool take(char c) {
    if (peek() != c) return false;
    ++position_;
    return true;
  }
  void space() {
    while (position_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[position_])))
      ++position_;
  }
  bool fail(const char* what) {
    if (problem_.empty()) problem_ = what;
    return false;
  }
  bool end() {
    space();
    return position_ == text_.size() || fail("text after the object");
  }
  bool string(std::string& out) {
    if (!take('"')) return fail("expected a string");
    for (;;) {
      if (position_ >= text_.size()) return fail("unterminated string");
      const char c = text_[position_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return fail("control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      const char e = peek();
      ++position_;
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u':
          for (int k = 0; k < 4; ++k)
            if (!std::isxdigit(static_cast<unsigned char>(peek())) || position_++ >= text_.size())
              return fail("bad \\u escape");
          out += '?';  // the keys that matter here are ASCII
          break;
        default:
          return fail("bad escape in a string");
      }
    }
  }
  bool number(JsonValue& value) {
    const size_t start = position_;
    take('-');
    if (!std::isdigit(static_cast<unsigned char>(peek()))) return fail("bad number");
    while (std::isdigit(static_cast<unsigned char>(peek()))) ++position_;
    if (take('.')) {
      if (!std::isdigit(static_cast<unsigned char>(peek()))) return fail("bad number");
      while (std::isdigit(static_cast<unsigned char>(peek()))) ++position_;
    }
    if (peek() == 'e' || peek() == 'E') {
      ++position_;
      if (peek() == '+' || peek() == '-') ++position_;
      if (!std::isdigit(static_cast<unsigned char>(peek()))) return fail("bad number");
      while (std::isdigit(static_cast<unsigned char>(peek()))) ++position_;
    }
    value.isNumber = true;
    value.text = text_.substr(start, position_ - start);
    value.number = std::strtod(value.text.c_str(), nullptr);
    return true;
  }
  bool word(const char* w) {
    for (const char* c = w; *c != '\0'; ++c)
      if (!take(*c)) return fail("unknown word");
    return true;
  }
  bool skipValue(int depth) {
    if (depth > kMaxDepth) return fail("nested too deeply");
    space();
    const char c = peek();
    if (c == '"') {
      std::string ignored;
      return string(ignored);
    }
    if (c == '-' || std::isdigit(static_cast<unsigned char>(c))) {
      JsonValue ignored;
      return number(ignored);
    }
    if (c == 't') return word("true");
    if (c == 'f') return word("false");
    if (c == 'n') return word("null");
    const char close = c == '{' ? '}' : c == '[' ? ']' : '\0';
    if (close == '\0') return fail("expected a value");
    ++position_;
    space();
    if (take(close)) return true;
    for (;;) {
      if (close == '}') {
        std::string ignored;
        space();
        if (!string(ignored)) return false;
        space();
        if (!take(':')) return fail("expected ':'");
      }
      if (!skipValue(depth + 1)) return false;
      space();
      if (take(close)) return true;
      if (!take(',')) return fail(close == '}' ? "expected ',' or '}'" : "expected ',' or ']'");
    }
  }

  const std::string& text_;
  size_t position_ = 0;
  std::string problem_;
};

}  // namespace

bool readJsonSidecar(const std::string& path, std::map<std::string, JsonValue>& values, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot open the JSON sidecar " + path;
    return false;
  }
  std::ostringstream contents;
  contents << file.rdbuf();
  const std::string text = contents.str();
  Reader reader(text);
  std::map<std::string, JsonValue> read;
  if (!reader.document(read)) {
    error = path + ": not valid JSON at byte " + std::to_string(reader.position()) + " (" + reader.problem() +
            ")";
    return false;
  }
  values = std::move(read);
  return true;
}

bool sidecarSeconds(const std::string& path, const std::map<std::string, JsonValue>& values, const char* key,
                    double& seconds, std::string& error) {
  const auto found = values.find(key);
  if (found == values.end()) {
    error = path + ": no \"" + key + "\"";
    return false;
  }
  if (!found->second.isNumber || !(found->second.number > 0.0)) {
    error = path + ": \"" + key + "\" is " + (found->second.isNumber ? found->second.text : "not a number") +
            ", not a time in seconds above 0";
    return false;
  }
  seconds = found->second.number;
  return true;
}
