#include "identity/der.h"

#include <gtest/gtest.h>

#include "identity/pem.h"
#include "util/hex.h"

namespace vela {
namespace {

// Lengths short below 128 and minimal long above; integers minimal two's complement,
// raw positive ones stripped of zeros but kept positive; OIDs in base-128 arcs. A SET
// keeps its elements' order: a DER SET OF would need sorting, these do not sort.
TEST(DERTest, EncodingsByteForByte) {
  const std::pair<Bytes, const char*> cases[] = {
      {DER::length(0), "00"}, {DER::length(127), "7f"}, {DER::length(128), "8180"},
      {DER::length(256), "820100"}, {DER::length(65536), "83010000"},
      {DER::integer(0), "020100"}, {DER::integer(127), "02017f"}, {DER::integer(128), "02020080"},
      {DER::integer(-1), "0201ff"}, {DER::integer(-128), "020180"}, {DER::integer(-129), "0202ff7f"},
      {DER::integer(INT64_MIN), "02088000000000000000"},
      {DER::integer(Bytes{0x00, 0x00, 0xFF}), "020200ff"}, {DER::integer(Bytes{0x00, 0x00, 0x7F}), "02017f"},
      {DER::integer(Bytes{}), "020100"}, {DER::integer(Bytes{0x80, 0x01}), "0203008001"},
      {DER::oid(DER::OID::ecdsaWithSHA256), "06082a8648ce3d040302"},
      {DER::oid(DER::OID::commonName), "0603550403"},
      {DER::oid(DER::OID::sha256WithRSA), "06092a864886f70d01010b"}, {DER::oid("2.999.3"), "0603883703"},
      {DER::null(), "0500"}, {DER::utf8String("é"), "0c02c3a9"}, {DER::bitString(Bytes{0xF0}, 4), "030204f0"},
      {DER::set({DER::integer(2), DER::integer(1)}), "3106020102020101"},
      {DER::contextConstructed(0, {}), "a000"}, {DER::contextConstructed(3, {DER::null()}), "a3020500"},
  };
  for (const auto& [encoded, expected] : cases) EXPECT_EQ(Hex::encode(encoded), expected);
}

// PEM::encode is checked byte for byte against openssl's output in the CSR test.
TEST(PEMTest, DecodeIgnoresLabelsAndLineBreakStyles) {
  EXPECT_EQ(PEM::decode("-----BEGIN A-----\r\nAAEC\r\nAw==\r\n-----END B-----\r\n").value(),
            (Bytes{0x00, 0x01, 0x02, 0x03}));
}

}  // namespace
}  // namespace vela
