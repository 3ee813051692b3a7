#include "util/json_scanner.h"

#include <gtest/gtest.h>

#include <string>

namespace vela {
namespace {

using E = JSONParseError;

std::string parsedString(std::string_view json) {
  auto value = JSONScanner::parse(json);
  EXPECT_TRUE(value.has_value()) << json;
  return value && value->stringRef() ? *value->stringRef() : std::string("<not a string>");
}

TEST(JSONScannerTest, EveryErrorCaseReportsItsOffset) {
  const std::pair<std::string, JSONParseError> cases[] = {
      {"", E::unexpectedEnd()}, {" \t\r\n", E::unexpectedEnd()},
      {"\xEF\xBB\xBF{}", E::unexpectedCharacter(0)},  // no byte-order mark
      {"\f1", E::unexpectedCharacter(0)},              // only four white-space bytes
      {"@", E::unexpectedCharacter(0)}, {"tru", E::unexpectedCharacter(3)},
      {"nul!", E::unexpectedCharacter(3)}, {"truex", E::trailingData(4)},
      {"1\v", E::trailingData(1)}, {"-x", E::trailingData(1)},
      {"[", E::unexpectedEnd()}, {"[1", E::unexpectedCharacter(2)},
      {"[1,]", E::unexpectedCharacter(3)}, {"[1 2]", E::unexpectedCharacter(3)},
      {"{", E::unexpectedCharacter(1)}, {"{\"a\":1", E::unexpectedCharacter(6)},
      {"{\"a\":1,}", E::unexpectedCharacter(7)}, {"{\"a\" 1}", E::unexpectedCharacter(5)},
      {"{1:2}", E::unexpectedCharacter(1)}, {"{\"a\":}", E::unexpectedCharacter(5)},
      {"{\"a\":1 \"b\":2}", E::unexpectedCharacter(7)},
      {"\"abc", E::unexpectedEnd()}, {"\"ab\\", E::unexpectedEnd()},
      {"\"\\x\"", E::invalidEscape(3)}, {"\"\\u12G4\"", E::invalidEscape(6)},
      {"\"\\u12", E::unexpectedEnd()},
      {"\"\\ud83d\"", E::invalidEscape(7)},  // lone high surrogate
      {"\"\\ud83d", E::invalidEscape(7)}, {"\"\\ud83d\\n\"", E::invalidEscape(7)},
      {"\"\\ud83d\\u0041\"", E::invalidEscape(13)},  // high surrogate + non-low
      {"\"\\ud83d\\u00", E::unexpectedEnd()},
  };
  for (const auto& [input, error] : cases) {
    auto result = JSONScanner::parse(input);
    ASSERT_FALSE(result.has_value()) << input;
    EXPECT_EQ(result.error(), error) << input << " gave " << result.error().description();
  }
}

TEST(JSONScannerTest, StringEscapesAndSurrogates) {
  EXPECT_EQ(parsedString(R"("\"\\\/\b\f\n\r\t")"), "\"\\/\b\f\n\r\t");
  EXPECT_EQ(parsedString(R"("\u00e9\u00C9")"), "\xC3\xA9\xC3\x89");
  EXPECT_EQ(parsedString(R"("\ud83d\ude00")"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(parsedString(R"("\uDBFF\uDFFF")"), "\xF4\x8F\xBF\xBF");
  EXPECT_EQ(parsedString(R"("a\ude00b")"), "a\xEF\xBF\xBD" "b");  // lone low surrogate
  EXPECT_EQ(parsedString(R"("\u0000")"), std::string(1, '\0'));
  EXPECT_EQ(parsedString("\"a\x01\x1F\tb\""), "a\x01\x1F\tb");  // raw controls are kept
}

TEST(JSONScannerTest, IllFormedUTF8BecomesReplacementCharacters) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(parsedString("\"a\xFF" "b\""), "a" + fffd + "b");
  EXPECT_EQ(parsedString("\"\xE2\x82\""), fffd);                      // truncated: one subpart
  EXPECT_EQ(parsedString("\"\xE2\x82" "A\""), fffd + "A");
  EXPECT_EQ(parsedString("\"\xC0\xAF\""), fffd + fffd);               // overlong
  EXPECT_EQ(parsedString("\"\xED\xA0\x80\""), fffd + fffd + fffd);    // encoded surrogate
  EXPECT_EQ(parsedString("\"\xF4\x90\x80\x80\""), fffd + fffd + fffd + fffd);  // > U+10FFFF
  EXPECT_EQ(parsedString("\"\xC3\xA9\xF0\x9F\x98\x80\""), "\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(parsedString("\"\xA9\\u00e9\""), fffd + "\xC3\xA9");
}

TEST(JSONScannerTest, DuplicateKeyKeepsTheLastValue) {
  auto nested = JSONScanner::parse(R"({"a":{"x":[1]},"b":0,"a":[]})");
  ASSERT_TRUE(nested.has_value());
  EXPECT_EQ(*(*nested)["a"], JSONValue::array());
  EXPECT_EQ(nested->objectValue()->size(), 2u);
}

TEST(JSONScannerTest, NestingIsLimitedTo128Containers) {
  auto nest = [](int n, std::string inner) {
    return std::string(n, '[') + inner + std::string(n, ']');
  };
  EXPECT_TRUE(JSONScanner::parse(nest(129, "")).has_value());
  EXPECT_TRUE(JSONScanner::parse(nest(128, "1")).has_value());
  EXPECT_EQ(JSONScanner::parse(nest(129, "1")).error(), E::tooDeep(129));
  EXPECT_EQ(JSONScanner::parse(nest(130, "")).error(), E::tooDeep(129));

  // Members: the limit is checked where the value would start, before white space.
  std::string objects;
  for (int k = 0; k < 129; ++k) objects += "{\"a\": ";
  objects += "1" + std::string(129, '}');
  EXPECT_EQ(JSONScanner::parse(objects).error(), E::tooDeep(129 * 6 - 1));

  // Hostile depth ends in an error, not a stack overflow.
  EXPECT_EQ(JSONScanner::parse(std::string(1'000'000, '[')).error(), E::tooDeep(129));
}

}  // namespace
}  // namespace vela
