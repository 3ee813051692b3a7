#include "util/canonical_json.h"

#include <gtest/gtest.h>

#include "util/json_scanner.h"

namespace vela {
namespace {

std::string canonical(std::string_view json) {
  auto value = JSONScanner::parse(json);
  EXPECT_TRUE(value.has_value()) << json;
  return value ? CanonicalJSON::encode(*value) : "";
}

TEST(CanonicalJSONTest, CompactWithSortedKeysAndVerbatimNumbers) {
  EXPECT_EQ(canonical(" {\n\"b\" :1 ,\t\"a\":[ true,null ,\"x\" ]}\r\n"), R"({"a":[true,null,"x"],"b":1})");
  // Number texts pass through verbatim, the scanner's permissive forms included.
  const std::string numbers = "[0,-0,1.50,1E+3,-12e-07,01,-,1.,1e,-.5]";
  EXPECT_EQ(canonical(numbers), numbers);
  EXPECT_EQ(canonical(R"({"":{},"e":[]})"), R"({"":{},"e":[]})");
}

TEST(CanonicalJSONTest, KeysSortByUnsignedBytesWithPrefixFirst) {
  EXPECT_EQ(canonical(R"({"é":1,"ab":2,"B":3,"a":4})"), R"({"B":3,"a":4,"ab":2,"é":1})");
  EXPECT_EQ(canonical(R"({"a":1,"Z":2,"\u007f":3,"\u0080":4,"aa":5,"":6})"),
            "{\"\":6,\"Z\":2,\"a\":1,\"aa\":5,\"\x7F\":3,\"\xC2\x80\":4}");
}

TEST(CanonicalJSONTest, StringEscaping) {
  std::string all;
  for (int c = 0; c < 0x20; ++c) all += static_cast<char>(c);
  EXPECT_EQ(CanonicalJSON::encode(JSONValue(all)),
            "\"\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r"
            "\\u000e\\u000f\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018"
            "\\u0019\\u001a\\u001b\\u001c\\u001d\\u001e\\u001f\"");
  EXPECT_EQ(CanonicalJSON::encode(JSONValue("q\"b\\s/d\x7F")), "\"q\\\"b\\\\s/d\x7F\"");
  EXPECT_EQ(canonical(R"("\u00e9\ud83d\ude00")"), "\"\xC3\xA9\xF0\x9F\x98\x80\"");
  // Ill-formed bytes in a string built in C++ still give well-formed output.
  EXPECT_EQ(CanonicalJSON::encode(JSONValue("a\xFF")), "\"a\xEF\xBF\xBD\"");
}

TEST(CanonicalJSONTest, IndentedLayoutForPeople) {
  JSONValue value{{"b", JSONValue::array({1, JSONValue::array(), JSONValue{{"x", nullptr}}})},
                  {"a", JSONValue::object()},
                  {"c\n", "\xFF"}};
  EXPECT_EQ(CanonicalJSON::encodeIndented(value),
            "{\n"
            "  \"a\": {},\n"
            "  \"b\": [\n"
            "    1,\n"
            "    [],\n"
            "    {\n"
            "      \"x\": null\n"
            "    }\n"
            "  ],\n"
            "  \"c\\n\": \"\xEF\xBF\xBD\"\n"
            "}");
  EXPECT_EQ(CanonicalJSON::encodeIndented(JSONValue("plain")), "\"plain\"");
}

// That whatever parses survives the canonical round trip and reaches a fixed point is
// the json_scanner fuzz target's invariant, checked on every run of the test command.

}  // namespace
}  // namespace vela
