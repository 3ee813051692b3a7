#pragma once

// A small DER encoder: just enough ASN.1 to build a SubjectPublicKeyInfo and a
// PKCS#10 certificate request. Every function returns complete tag-length-value bytes
// (except length(), which returns the length octets alone). Pure; thread-safe.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "util/bytes.h"

namespace vela::DER {

namespace Tag {
inline constexpr std::uint8_t integer = 0x02;
inline constexpr std::uint8_t bitString = 0x03;
inline constexpr std::uint8_t octetString = 0x04;
inline constexpr std::uint8_t null = 0x05;
inline constexpr std::uint8_t objectIdentifier = 0x06;
inline constexpr std::uint8_t utf8String = 0x0C;
inline constexpr std::uint8_t printableString = 0x13;
inline constexpr std::uint8_t sequence = 0x30;
inline constexpr std::uint8_t set = 0x31;
constexpr std::uint8_t contextConstructed(unsigned n) { return 0xA0 | (n & 0x1F); }
constexpr std::uint8_t contextPrimitive(unsigned n) { return 0x80 | (n & 0x1F); }
}  // namespace Tag

namespace OID {
inline constexpr std::string_view ecPublicKey = "1.2.840.10045.2.1";
inline constexpr std::string_view prime256v1 = "1.2.840.10045.3.1.7";
inline constexpr std::string_view ecdsaWithSHA256 = "1.2.840.10045.4.3.2";
inline constexpr std::string_view commonName = "2.5.4.3";
inline constexpr std::string_view rsaEncryption = "1.2.840.113549.1.1.1";
inline constexpr std::string_view sha256WithRSA = "1.2.840.113549.1.1.11";
}  // namespace OID

Bytes length(std::size_t n);
Bytes tlv(std::uint8_t tag, std::span<const std::uint8_t> value);

// Minimal two's complement.
Bytes integer(std::int64_t value);
// An unsigned big-endian magnitude (such as an ECDSA r or s).
Bytes integer(std::span<const std::uint8_t> rawPositive);

Bytes bitString(std::span<const std::uint8_t> bytes, std::uint8_t unusedBits = 0);
Bytes octetString(std::span<const std::uint8_t> bytes);
Bytes null();
// REQUIRES: `dotted` is at least two decimal arcs separated by dots, the first 0-2.
Bytes oid(std::string_view dotted);
Bytes utf8String(std::string_view text);
Bytes printableString(std::string_view text);
Bytes sequence(const std::vector<Bytes>& elements);
Bytes set(const std::vector<Bytes>& elements);
Bytes contextConstructed(unsigned n, const std::vector<Bytes>& elements);

}  // namespace vela::DER
