// The JSON reading helpers: texts and values JsonCpp would throw on come back as
// failures, and a refused value leaves the output untouched.

#include "src/utilities/json_reader.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <string>

namespace tavix {
namespace {

Json::Value Parsed(const std::string& text) {
  Json::Value root;
  EXPECT_TRUE(ParseJson(text.data(), text.size(), &root)) << text;
  return root;
}

TEST(JsonReaderTest, ParseJsonRefusesWhatIsNoJsonWithoutThrowing) {
  const std::string deep = std::string(5000, '[') + std::string(5000, ']');
  for (const std::string& text : {std::string(), std::string("not json"), std::string("{\"a\":"),
                                  deep, "{\"a\":" + deep + "}"}) {
    SCOPED_TRACE(text.substr(0, 20));
    Json::Value root;
    EXPECT_FALSE(ParseJson(text.data(), text.size(), &root));
  }
  // Nesting too deep leaves nothing half-read behind.
  Json::Value root;
  const std::string object = "{\"connection_type\":\"websocket\",\"x\":" + deep + "}";
  EXPECT_FALSE(ParseJson(object.data(), object.size(), &root));
  EXPECT_TRUE(root.isNull());

  EXPECT_EQ(Parsed("{\"a\":1}")["a"].asInt(), 1);
}

TEST(JsonReaderTest, ReadsOnlyValuesOfTheAskedKind) {
  struct Case {
    const char* json;  // the value of "v"
    bool is_string;
    std::string string;
    bool is_int;
    int number;
  };
  const Case cases[] = {
      {"\"text\"", true, "text", false, 0},
      {"\"7\"", true, "7", false, 0},
      {"7", true, "7", true, 7},
      {"-3", true, "-3", true, -3},
      {"2147483648", true, "2147483648", false, 0},
      {"-2147483649", true, "-2147483649", false, 0},
      {"1e300", true, "1.0000000000000001e+300", false, 0},
      {"true", true, "true", false, 0},
      {"null", false, "", false, 0},
      {"[1]", false, "", false, 0},
      {"{\"x\":1}", false, "", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    const Json::Value root = Parsed(std::string("{\"v\":") + c.json + "}");
    std::string text = "untouched";
    EXPECT_EQ(ReadJsonString(root["v"], &text), c.is_string);
    EXPECT_EQ(text, c.is_string ? c.string : "untouched");
    int number = 42;
    EXPECT_EQ(ReadJsonInt(root["v"], &number), c.is_int);
    EXPECT_EQ(number, c.is_int ? c.number : 42);
  }
  // A member that is not there reads as null.
  std::string text = "untouched";
  EXPECT_FALSE(ReadJsonString(Parsed("{}")["v"], &text));
  EXPECT_EQ(text, "untouched");
}

}  // namespace
}  // namespace tavix
