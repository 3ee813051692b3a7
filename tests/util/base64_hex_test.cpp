#include <gtest/gtest.h>

#include "util/base64.h"
#include "util/hex.h"

namespace vela {
namespace {

TEST(HexTest, LowerCaseTextAndStrictDecoding) {
  EXPECT_EQ(Hex::encode(Bytes{0x00, 0xFF, 0x10}), "00ff10");
  EXPECT_EQ(Hex::encode(Bytes{}), "");
  EXPECT_EQ(Hex::decode("00fF10Aa"), (Bytes{0x00, 0xFF, 0x10, 0xAA}));
  EXPECT_EQ(Hex::decode(""), Bytes{});
  for (const char* bad : {"ABC", "0g", "0 ", " 0", "-1", "0x"}) EXPECT_EQ(Hex::decode(bad), std::nullopt) << bad;
}

// RFC 4648 section 10.
TEST(Base64Test, StandardVectorsAndPadding) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (auto [plain, encoded] : vectors) {
    EXPECT_EQ(Base64::encode(std::string_view(plain)), encoded);
    EXPECT_EQ(Base64::decode(encoded), toBytes(plain));
  }
  EXPECT_EQ(Base64::encode(Bytes{0xFB, 0xFF}), "+/8=");
}

TEST(Base64Test, DecodingRejectsAnythingButCanonicalText) {
  for (const char* bad : {"Zg", "Zg=", "Zm9v\n", "Zm 9v", " Zm9v", "Zh==", "Zm9=", "====", "Z===",
                          "Zg==Zg==", "Z=g=", "-_8=", "Zm9v="})
    EXPECT_EQ(Base64::decode(bad), std::nullopt) << bad;
}

TEST(Base64Test, URLAlphabetWithOptionalPadding) {
  EXPECT_EQ(Base64::decodeURL("-_8="), (Bytes{0xFB, 0xFF}));
  Bytes bytes = {0xfb, 0xff, 0xfe, 0x00, 0x3e};
  EXPECT_EQ(Base64::encodeURL(bytes), "-__-AD4");
  EXPECT_EQ(Base64::decodeURL("+//+AD4="), bytes);  // the standard alphabet passes too
  for (const char* bad : {"Z", "abcde", "ab cd", "ab.d", "Zh"})
    EXPECT_EQ(Base64::decodeURL(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace vela
