#include "util/json_document.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "util/canonical_json.h"

namespace vela {
namespace {

using namespace std::string_literals;

std::string refusal(std::string_view text) {
  auto read = JSONDocument::read(text);
  return read ? "read " + CanonicalJSON::encode(*read) : read.error().description();
}

TEST(JSONDocumentTest, ReadsWhatTheGrammarAllows) {
  EXPECT_EQ(refusal("\xEF\xBB\xBF {\"b\": [true, null, \"\\u00e9\\ud83d\\ude00\\/\"], \"a\": {}}\r\n"),
            "read {\"a\":{},\"b\":[true,null,\"\xC3\xA9\xF0\x9F\x98\x80/\"]}");
  // Numbers keep their text; an integer beyond 64 bits still fits a double.
  EXPECT_EQ(refusal("[-0, 1.50, 1E+2, 1e-400, 18446744073709551616]"),
            "read [-0,1.50,1E+2,1e-400,18446744073709551616]");
  EXPECT_EQ(refusal(R"({"a": 1, "a": 2})"), R"(read {"a":2})");
  // A byte 0 outside a string ends the text.
  EXPECT_EQ(refusal("{\"a\": 1}\0garbage"s), R"(read {"a":1})");
}

TEST(JSONDocumentTest, RefusalsSayWhereAndWhy) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "line 1, column 1: unexpected end of input; expected '[', '{', or a literal"},
      {"\xEF\xBB{}", "line 1, column 2: invalid BOM; must be 0xEF 0xBB 0xBF if given"},
      {"{\"a\":\0}"s, "line 1, column 6: unexpected end of input; expected '[', '{', or a literal"},
      {"nul", "line 1, column 4: invalid literal"},
      {"[1] [2]", "line 1, column 5: unexpected '['; expected end of input"},
      {"[1,]", "line 1, column 4: unexpected ']'; expected '[', '{', or a literal"},
      {R"({"a":1,})", "line 1, column 8: unexpected '}'; expected string literal"},
      {R"({"a" 1})", "line 1, column 6: unexpected number literal; expected ':'"},
      {"{\"a\":1\n,\n\"b\"\n}", "line 4, column 1: unexpected '}'; expected ':'"},
      {"{1e999: 1}", "line 1, column 6: unexpected number literal; expected string literal"},
      // Columns count characters, not bytes.
      {"{\"\xC3\xA9\xC3\xA9\": x}", "line 1, column 8: invalid literal"},
      {"[01]", "line 1, column 3: unexpected number literal; expected ']'"},
      {"[-]", "line 1, column 3: invalid number; expected digit after '-'"},
      {"[1.]", "line 1, column 4: invalid number; expected digit after '.'"},
      {"[1e]", "line 1, column 4: invalid number; expected '+', '-', or digit after exponent"},
      {"[1e+]", "line 1, column 5: invalid number; expected digit after exponent sign"},
      {R"(["\x"])", "line 1, column 4: invalid string: forbidden character after backslash"},
      {R"(["\u12g4"])", "line 1, column 7: invalid string: '\\u' must be followed by 4 hex digits"},
      {R"(["\udc00"])", "line 1, column 8: invalid string: surrogate U+DC00..U+DFFF must follow U+D800..U+DBFF"},
      {R"(["\ud800\u0041"])",
       "line 1, column 14: invalid string: surrogate U+D800..U+DBFF must be followed by U+DC00..U+DFFF"},
      {"[\"a\tb\"]", "line 1, column 4: invalid string: control character U+0009 (HT) must be escaped to \\u0009 or \\t"},
      {"\"\x01\"", "line 1, column 2: invalid string: control character U+0001 (SOH) must be escaped to \\u0001"},
      // Overlong forms, surrogates and code points past U+10FFFF, at the byte that shows it.
      {"[\"\xC0\xAF\"]", "line 1, column 3: invalid string: ill-formed UTF-8 byte"},
      {"[\"\xED\xA0\x80\"]", "line 1, column 4: invalid string: ill-formed UTF-8 byte"},
      {"[\"\xF4\x90\x80\x80\"]", "line 1, column 4: invalid string: ill-formed UTF-8 byte"},
      {"[\"\xC3\"]", "line 1, column 4: invalid string: ill-formed UTF-8 byte"},
      {"{\"a\": \"open", "line 1, column 12: invalid string: missing closing quote"},
  };
  for (const auto& [text, where] : cases) {
    EXPECT_EQ(refusal(text), "the data is not valid JSON (" + where + ")") << text;
  }
  EXPECT_EQ(JSONDocument::parse("{", "/srv/p.json").error().message,
            "/srv/p.json: the data is not valid JSON (line 1, column 2: unexpected end of input; expected "
            "string literal)");
}

// A number that overflows a double is found only once it has been read whole, so the
// refusal has no position; it also never quotes the number.
TEST(JSONDocumentTest, NumbersBeyondADoubleAreRefused) {
  for (const std::string& text : {"[1e400]"s, "{\"a\": -1e400}"s, "[" + std::string(400, '9') + "]"}) {
    EXPECT_EQ(refusal(text), "the data is not valid JSON (a number is out of range)") << text;
  }
  // The first problem in the text is the one reported.
  EXPECT_EQ(refusal("[1e400, ]"), "the data is not valid JSON (a number is out of range)");
  EXPECT_EQ(refusal("[, 1e400]"),
            "the data is not valid JSON (line 1, column 2: unexpected ','; expected '[', '{', or a literal)");
}

TEST(JSONDocumentTest, NestingIsLimited) {
  auto nest = [](int n) { return std::string(n, '[') + std::string(n, ']'); };
  EXPECT_TRUE(JSONDocument::read(nest(JSONDocument::kMaxDepth)).has_value());
  EXPECT_EQ(refusal(nest(JSONDocument::kMaxDepth + 1)),
            "the data is not valid JSON (line 1, column 513: containers nested deeper than 512 levels)");
}

}  // namespace
}  // namespace vela
