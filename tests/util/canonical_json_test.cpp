#include "util/canonical_json.h"

#include <gtest/gtest.h>

#include <random>

#include "util/json_scanner.h"
#include "util/utf8.h"

namespace vela {
namespace {

std::string canonical(std::string_view json) {
  auto value = JSONScanner::parse(json);
  EXPECT_TRUE(value.has_value()) << json;
  return value ? CanonicalJSON::encode(*value) : "";
}

TEST(CanonicalJSONTest, CompactWithSortedKeysAndVerbatimNumbers) {
  EXPECT_EQ(canonical(" {\n\"b\" :1 ,\t\"a\":[ true,null ,\"x\" ]}\r\n"), R"({"a":[true,null,"x"],"b":1})");
  EXPECT_EQ(canonical(R"([1.50,-0,1E+3,01,1.,-])"), R"([1.50,-0,1E+3,01,1.,-])");
  EXPECT_EQ(canonical(R"({"":{},"e":[]})"), R"({"":{},"e":[]})");
  EXPECT_EQ(CanonicalJSON::encodeData(JSONValue{{"k", "v"}}), toBytes(R"({"k":"v"})"));
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

// Random trees whose strings are well-formed and whose number texts follow the
// scanner's permissive grammar: exactly the trees that must survive a round trip.
class TreeGenerator {
 public:
  explicit TreeGenerator(unsigned seed) : rng_(seed) {}

  JSONValue value(int depth) {
    switch (pick(depth < 6 ? 6 : 4)) {
      case 0: return nullptr;
      case 1: return pick(2) == 1;
      case 2: return JSONValue::number(numberText());
      case 3: return text();
      case 4: {
        JSONValue::Array elements;
        for (int n = pick(5); n > 0; --n) elements.push_back(value(depth + 1));
        return elements;
      }
      default: {
        JSONValue::Object members;
        for (int n = pick(5); n > 0; --n) members.insert_or_assign(text(), value(depth + 1));
        return members;
      }
    }
  }

 private:
  int pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }
  std::string digits(int min) {
    std::string s;
    for (int n = min + pick(4); n > 0; --n) s += static_cast<char>('0' + pick(10));
    return s;
  }
  std::string numberText() {
    std::string s = pick(2) ? "-" : "";
    s += digits(s.empty() ? 1 : 0);
    if (pick(3) == 0) s += "." + digits(0);
    if (pick(3) == 0) s += std::string(1, "eE"[pick(2)]) + std::string(pick(3) ? 1 : 0, "+-"[pick(2)]) + digits(0);
    return s;
  }
  std::string text() {
    static const std::uint32_t kInteresting[] = {'"', '\\', '/', 0, 0x1F, 0x7F, 0x80, 0xE9, 0x7FF, 0x800,
                                                 0xFFFD, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
    std::string s;
    for (int n = pick(8); n > 0; --n) {
      std::uint32_t scalar = pick(2) ? 0x20 + pick(0x5F) : kInteresting[pick(std::size(kInteresting))];
      UTF8::appendScalar(s, scalar);
    }
    return s;
  }
  std::mt19937 rng_;
};

TEST(CanonicalJSONTest, RoundTripPropertyOverGeneratedTrees) {
  TreeGenerator generator(20261204);
  for (int round = 0; round < 3000; ++round) {
    JSONValue tree = generator.value(0);
    std::string encoded = CanonicalJSON::encode(tree);
    auto reparsed = JSONScanner::parse(encoded);
    ASSERT_TRUE(reparsed.has_value()) << encoded << " " << reparsed.error().description();
    ASSERT_EQ(*reparsed, tree) << encoded;
    ASSERT_EQ(CanonicalJSON::encode(*reparsed), encoded);
  }
}

// Mutated documents: whatever still parses must re-encode to a fixed point.
TEST(CanonicalJSONTest, MutatedDocumentsThatParseReachAFixedPoint) {
  TreeGenerator generator(7);
  std::mt19937 rng(11);
  int parsed = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text = CanonicalJSON::encode(generator.value(0));
    for (int edits = 1 + static_cast<int>(rng() % 3); edits > 0 && !text.empty(); --edits) {
      text[rng() % text.size()] = static_cast<char>(rng() % 256);
    }
    auto value = JSONScanner::parse(text);
    if (!value) continue;
    ++parsed;
    std::string once = CanonicalJSON::encode(*value);
    auto again = JSONScanner::parse(once);
    ASSERT_TRUE(again.has_value()) << once;
    ASSERT_EQ(*again, *value);
    ASSERT_EQ(CanonicalJSON::encode(*again), once);
  }
  EXPECT_GT(parsed, 100);
}

}  // namespace
}  // namespace vela
