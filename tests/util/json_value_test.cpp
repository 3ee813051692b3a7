#include "util/json_value.h"

#include <gmock/gmock.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <string>

namespace vela {
namespace {

TEST(JSONValueTest, IntValueIsStrictSigned64BitDecimal) {
  auto intOf = [](const char* text) { return JSONValue::number(text).intValue(); };
  EXPECT_EQ(intOf("+7"), 7);
  EXPECT_EQ(intOf("-42"), -42);
  EXPECT_EQ(intOf("007"), 7);
  EXPECT_EQ(intOf("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(intOf("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
  for (const char* absent : {"9223372036854775808", "-9223372036854775809", "99999999999999999999",
                             "7.0", "1e3", "-", "+", "", "+-1", " 1", "1 ", "0x10"})
    EXPECT_EQ(intOf(absent), std::nullopt) << absent;
  EXPECT_EQ(JSONValue("7").intValue(), std::nullopt);  // a string never qualifies

  auto uintOf = [](const char* text) { return JSONValue::number(text).uintValue(); };
  EXPECT_EQ(uintOf("18446744073709551615"), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(uintOf("007"), 7u);
  for (const char* absent : {"18446744073709551616", "-0", "+1", "1.0", "1e3", ""})
    EXPECT_EQ(uintOf(absent), std::nullopt) << absent;
}

TEST(JSONValueTest, RequiredStringTellsMissingFromNullFromWrongType) {
  const JSONValue object{{"s", "text"}, {"n", nullptr}, {"i", 1}};
  EXPECT_EQ(requiredString(object, "s").value(), "text");
  auto kindOf = [&](const JSONValue& value, const char* key) { return requiredString(value, key).error().kind; };
  EXPECT_EQ(kindOf(object, "absent"), MemberError::Kind::missing);
  EXPECT_EQ(kindOf(object, "n"), MemberError::Kind::null);
  EXPECT_EQ(kindOf(object, "i"), MemberError::Kind::wrongType);
  EXPECT_EQ(kindOf(JSONValue("s"), "s"), MemberError::Kind::missing);
  EXPECT_EQ(requiredString(object, "i").error().key, "i");
}

TEST(JSONValueTest, DoubleValueConsumesWholeDecimalText) {
  auto doubleOf = [](const char* text) { return JSONValue::number(text).doubleValue(); };
  EXPECT_EQ(doubleOf("1.5"), 1.5);
  EXPECT_EQ(doubleOf("1E+3"), 1000.0);
  EXPECT_EQ(doubleOf("1."), 1.0);
  EXPECT_TRUE(std::signbit(*doubleOf("-0")));
  for (const char* absent : {"1e", "-", "", " 1", "1 ", "0x10", "inf", "nan", "1,5"})
    EXPECT_EQ(doubleOf(absent), std::nullopt) << absent;
  EXPECT_EQ(JSONValue("1.5").doubleValue(), std::nullopt);

  // A comma-decimal process locale must not change how numbers read.
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr) {
    EXPECT_EQ(doubleOf("2.25"), 2.25);
    std::setlocale(LC_NUMERIC, "C");
  }
}

TEST(JSONValueTest, BuildersMakeNumberTexts) {
  EXPECT_EQ(*JSONValue(-12).numberText(), "-12");
  EXPECT_EQ(*JSONValue(std::uint64_t{18446744073709551615u}).numberText(), "18446744073709551615");
  EXPECT_EQ(*JSONValue(0.1).numberText(), "0.1");
  EXPECT_EQ(*JSONValue(1e21).numberText(), "1e+21");
  EXPECT_TRUE(JSONValue(std::nan("")).isNull());
  EXPECT_TRUE(JSONValue("text").isString());  // not the bool conversion of a pointer
}

TEST(JSONValueTest, ObjectTableBehavesLikeASortedMap) {
  JSONValue::Object members{{"b", 1}, {"a", 2}, {"b", 3}};  // a later duplicate wins
  EXPECT_EQ(members.find("b")->second, JSONValue(3));
  EXPECT_FALSE(members.emplace("a", 9).second);  // emplace keeps the existing member
  EXPECT_EQ(members["a"], JSONValue(2));
  EXPECT_FALSE(members.insert_or_assign("a", 9).second);
  EXPECT_EQ(members["a"], JSONValue(9));
  members["\xC3\xA9"];  // inserts null, sorted after every ASCII key
  members[""] = "first";
  EXPECT_EQ(members.erase("b"), 1u);
  EXPECT_EQ(members.erase("b"), 0u);
  EXPECT_THAT(members, ::testing::ElementsAre(::testing::Key(""), ::testing::Key("a"),
                                              ::testing::Key("\xC3\xA9")));
}

}  // namespace
}  // namespace vela
