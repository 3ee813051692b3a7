#include "identity/der.h"

#include <gtest/gtest.h>

#include "identity/pem.h"
#include "util/hex.h"

namespace vela {
namespace {

std::string hex(const Bytes& bytes) { return Hex::encode(bytes); }

TEST(DERTest, LengthUsesShortFormBelow128AndMinimalLongForm) {
  EXPECT_EQ(hex(DER::length(0)), "00");
  EXPECT_EQ(hex(DER::length(127)), "7f");
  EXPECT_EQ(hex(DER::length(128)), "8180");
  EXPECT_EQ(hex(DER::length(256)), "820100");
  EXPECT_EQ(hex(DER::length(65536)), "83010000");
  Bytes value(300, 0xAB);
  Bytes encoded = DER::octetString(value);
  EXPECT_EQ(hex(Bytes(encoded.begin(), encoded.begin() + 4)), "0482012c");
  EXPECT_EQ(encoded.size(), 304u);
}

TEST(DERTest, IntegersAreMinimalTwosComplement) {
  EXPECT_EQ(hex(DER::integer(0)), "020100");
  EXPECT_EQ(hex(DER::integer(127)), "02017f");
  EXPECT_EQ(hex(DER::integer(128)), "02020080");
  EXPECT_EQ(hex(DER::integer(-1)), "0201ff");
  EXPECT_EQ(hex(DER::integer(-128)), "020180");
  EXPECT_EQ(hex(DER::integer(-129)), "0202ff7f");
  EXPECT_EQ(hex(DER::integer(INT64_MIN)), "02088000000000000000");
}

TEST(DERTest, RawPositiveIntegersStripZerosAndKeepTheSignPositive) {
  EXPECT_EQ(hex(DER::integer(Bytes{0x00, 0x00, 0xFF})), "020200ff");
  EXPECT_EQ(hex(DER::integer(Bytes{0x00, 0x00, 0x7F})), "02017f");
  EXPECT_EQ(hex(DER::integer(Bytes{})), "020100");
  EXPECT_EQ(hex(DER::integer(Bytes{0x80, 0x01})), "0203008001");
}

TEST(DERTest, ObjectIdentifiersUseBase128Arcs) {
  EXPECT_EQ(hex(DER::oid(DER::OID::ecdsaWithSHA256)), "06082a8648ce3d040302");
  EXPECT_EQ(hex(DER::oid(DER::OID::commonName)), "0603550403");
  EXPECT_EQ(hex(DER::oid(DER::OID::sha256WithRSA)), "06092a864886f70d01010b");
  EXPECT_EQ(hex(DER::oid("2.999.3")), "0603883703");
}

TEST(DERTest, StringsContainersAndTags) {
  EXPECT_EQ(hex(DER::null()), "0500");
  EXPECT_EQ(hex(DER::utf8String("é")), "0c02c3a9");
  EXPECT_EQ(hex(DER::bitString(Bytes{0xF0}, 4)), "030204f0");
  // Elements keep their order: a DER SET OF would need sorting, these do not sort.
  EXPECT_EQ(hex(DER::set({DER::integer(2), DER::integer(1)})), "3106020102020101");
  EXPECT_EQ(hex(DER::contextConstructed(0, {})), "a000");
  EXPECT_EQ(hex(DER::contextConstructed(3, {DER::null()})), "a3020500");
  EXPECT_EQ(DER::Tag::contextConstructed(33), 0xA1);
  EXPECT_EQ(DER::Tag::contextPrimitive(2), 0x82);
}

TEST(PEMTest, EncodeBreaksBodyIntoLinesOf64) {
  Bytes data(100);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
  std::string pem = PEM::encode(data, "TEST");
  ASSERT_TRUE(pem.starts_with("-----BEGIN TEST-----\n"));
  ASSERT_TRUE(pem.ends_with("\n-----END TEST-----\n"));
  std::string body = pem.substr(21, pem.size() - 21 - 19);
  ASSERT_EQ(body.size(), 64u + 1 + 64 + 1 + 8 + 1);
  EXPECT_EQ(body[64], '\n');
  EXPECT_EQ(body[129], '\n');
  EXPECT_EQ(PEM::decode(pem).value(), data);
  EXPECT_EQ(PEM::encode(Bytes{}, "X"), "-----BEGIN X-----\n-----END X-----\n");
}

TEST(PEMTest, DecodeIgnoresLabelsAndLineBreakStyles) {
  EXPECT_EQ(PEM::decode("-----BEGIN A-----\r\nAAEC\r\nAw==\r\n-----END B-----\r\n").value(),
            (Bytes{0x00, 0x01, 0x02, 0x03}));
  EXPECT_EQ(PEM::decode("\n\nAAEC\n\n").value(), (Bytes{0x00, 0x01, 0x02}));
  // Two blocks decode as one stream of bytes.
  EXPECT_EQ(PEM::decode("-----BEGIN X-----\nAQ==\n-----END X-----\n"
                        "-----BEGIN Y-----\nAg==\n-----END Y-----\n"),
            PEM::decode("AQ==Ag=="));
}

TEST(PEMTest, DecodeRejectsAnythingButStrictBase64) {
  for (const char* text :
       {"-----BEGIN X-----\nAA EC\n-----END X-----\n", "AAE", "AA*C", "AAEC\tAw==", "AAEC===="}) {
    auto decoded = PEM::decode(text);
    ASSERT_FALSE(decoded) << text;
    EXPECT_EQ(decoded.error().message, "invalid PEM body");
  }
}

}  // namespace
}  // namespace vela
