// The JSON sidecar of a BIDS or dcm2niix image: its top-level keys whose
// values are numbers or strings (nested objects and arrays are checked for
// syntax and skipped).
#pragma once

#include <map>
#include <string>

struct JsonValue {
  bool isNumber = false;
  double number = 0.0;
  std::string text;  // a string's value, or a number as written
};

// Reads `path`; false with `error` naming the file (and the byte where its
// JSON goes wrong).
bool readJsonSidecar(const std::string& path, std::map<std::string, JsonValue>& values, std::string& error);

// The sidecar's `key` as a number in seconds above 0; false with `error`
// naming the file and the key.
bool sidecarSeconds(const std::string& path, const std::map<std::string, JsonValue>& values, const char* key,
                    double& seconds, std::string& error);
