#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "simulator/JsonSidecar.h"

namespace {

bool readText(const std::string& text, std::map<std::string, JsonValue>& values, std::string& error) {
  const std::string path = testing::TempDir() + "sidecar-" + std::to_string(getpid()) + ".json";
  std::ofstream(path) << text;
  const bool ok = readJsonSidecar(path, values, error);
  std::remove(path.c_str());
  return ok;
}

}  // namespace

TEST(JsonSidecar, TakesTheTopLevelNumbersAndStringsAndSkipsTheRest) {
  std::map<std::string, JsonValue> values;
  std::string error;
  ASSERT_TRUE(readText(R"( {"RepetitionTime": 2.5e-1, "TaskName": "n\"f\\b\u00e9",
      "SliceTiming": [0, 0.5, {"a": [true, false, null]}], "Deep": {"RepetitionTime": 9}, "Neg": -3} )",
                       values, error))
      << error;
  EXPECT_TRUE(values["RepetitionTime"].isNumber);
  EXPECT_DOUBLE_EQ(values["RepetitionTime"].number, 0.25);
  EXPECT_EQ(values["TaskName"].text, "n\"f\\b?");
  EXPECT_DOUBLE_EQ(values["Neg"].number, -3.0);
  EXPECT_FALSE(values["Deep"].isNumber) << "a nested key is not the sidecar's";
  double seconds = 0;
  EXPECT_TRUE(sidecarSeconds("s.json", values, "RepetitionTime", seconds, error));
  EXPECT_FALSE(sidecarSeconds("s.json", values, "Neg", seconds, error));
  EXPECT_EQ(error, "s.json: \"Neg\" is -3, not a time in seconds above 0");
  EXPECT_FALSE(sidecarSeconds("s.json", values, "Missing", seconds, error));
  EXPECT_EQ(error, "s.json: no \"Missing\"");
}

TEST(JsonSidecar, RefusesBrokenJsonNamingTheByte) {
  for (const char* bad :
       {"", "[1]", "{\"a\": 1,}", "{\"a\" 1}", "{\"a\": 01x}", "{\"a\": \"open}", "{\"a\": tru}",
        "{\"a\": 1} {}", "{\"a\": [1, 2}", "{\"a\": \"\\q\"}", "{\"a\": -}"}) {
    SCOPED_TRACE(bad);
    std::map<std::string, JsonValue> values;
    std::string error;
    EXPECT_FALSE(readText(bad, values, error));
    EXPECT_NE(error.find("not valid JSON at byte"), std::string::npos) << error;
  }
  std::string deep(200, '[');
  std::map<std::string, JsonValue> values;
  std::string error;
  EXPECT_FALSE(readText("{\"a\": " + deep + "}", values, error)) << "nesting is bounded";
}
