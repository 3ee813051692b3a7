#include "util/agent_crypto.h"

#include <openssl/evp.h>

#include <algorithm>
#include <fstream>
#include <vector>

#include "util/base64.h"
#include "util/hex.h"
#include "util/utf8.h"

namespace vela::AgentCrypto {
namespace {

// RFC 8410: SEQUENCE { SEQUENCE { OID 1.3.101.112 } BIT STRING (33 bytes, 0 unused) }.
constexpr std::uint8_t kSPKIHeader[12] = {0x30, 0x2A, 0x30, 0x05, 0x06, 0x03,
                                          0x2B, 0x65, 0x70, 0x03, 0x21, 0x00};

// Line breaks for PEM: LF, VT, FF, CR, U+0085, U+2028, U+2029.
std::size_t lineBreakAt(std::string_view s, std::size_t pos) {
  unsigned char c = static_cast<unsigned char>(s[pos]);
  if (c >= '\n' && c <= '\r') return 1;
  std::string_view rest = s.substr(pos);
  for (std::string_view lineBreak : {"\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"}) {
    if (rest.starts_with(lineBreak)) return lineBreak.size();
  }
  return 0;
}

std::string pemBody(std::string_view text) {
  std::string body;
  std::size_t lineStart = 0, pos = 0;
  auto takeLine = [&](std::size_t end) {
    std::string_view line = text.substr(lineStart, end - lineStart);
    if (!line.empty() && !line.starts_with("-----")) body += line;
  };
  while (pos < text.size()) {
    std::size_t n = lineBreakAt(text, pos);
    if (n == 0) {
      ++pos;
      continue;
    }
    takeLine(pos);
    pos += n;
    lineStart = pos;
  }
  takeLine(text.size());
  return body;
}

struct MDContextFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

}  // namespace

std::string CryptoError::description() const {
  switch (kind_) {
    case Kind::badPublicKey: return "malformed Ed25519 public key";
    case Kind::badSignature: return "malformed signature";
    case Kind::verificationFailed: return "signature verification failed";
  }
  return "";
}

Result<Ed25519PublicKey, CryptoError> Ed25519PublicKey::fromRaw(std::span<const std::uint8_t> raw) {
  if (raw.size() != kKeySize) return tl::unexpected(CryptoError::badPublicKey());
  EVP_PKEY* pkey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, raw.data(), raw.size());
  if (pkey == nullptr) return tl::unexpected(CryptoError::badPublicKey());
  Ed25519PublicKey key;
  std::copy(raw.begin(), raw.end(), key.raw_.begin());
  key.key_ = std::shared_ptr<EVP_PKEY>(pkey, EVP_PKEY_free);
  return key;
}

bool Ed25519PublicKey::isWeak() const {
  // The eight points of the torsion subgroup, canonically encoded: the identity, the
  // point of order 2, two of order 4 and four of order 8.
  static constexpr std::uint8_t kSmallOrder[8][kKeySize] = {
      {0x01},
      {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
       0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
       0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
      {0x00},
      {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80},
      {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4,
       0x89, 0xf2, 0xef, 0x98, 0xf0, 0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6,
       0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},
      {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4,
       0x89, 0xf2, 0xef, 0x98, 0xf0, 0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6,
       0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x85},
      {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b,
       0x76, 0x0d, 0x10, 0x67, 0x0f, 0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39,
       0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a},
      {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b,
       0x76, 0x0d, 0x10, 0x67, 0x0f, 0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39,
       0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0xfa},
  };
  for (const auto& encoding : kSmallOrder) {
    if (std::equal(std::begin(encoding), std::end(encoding), raw_.begin())) return true;
  }
  // y is the low 255 bits, little-endian; p = 2^255 - 19 is ed ff .. ff 7f.
  bool yAtLeastP =
      (raw_[31] & 0x7f) == 0x7f && raw_[0] >= 0xed &&
      std::all_of(raw_.begin() + 1, raw_.begin() + 31, [](std::uint8_t b) { return b == 0xff; });
  if (yAtLeastP) return true;
  // y = 1 and y = p - 1 have x = 0, which has no negative.
  std::array<std::uint8_t, kKeySize> y = raw_;
  y[31] &= 0x7f;
  bool signSet = (raw_[31] & 0x80) != 0;
  return signSet && (std::equal(y.begin(), y.end(), std::begin(kSmallOrder[0])) ||
                     std::equal(y.begin(), y.end(), std::begin(kSmallOrder[1])));
}

Result<Ed25519PublicKey, CryptoError> ed25519PublicKey(std::string_view fromBase64OrPEM) {
  std::string_view text = UTF8::trimWhitespace(fromBase64OrPEM);
  std::optional<Bytes> decoded = text.find("-----BEGIN") != std::string_view::npos
                                     ? Base64::decode(pemBody(text))
                                     : Base64::decode(text);
  if (!decoded) return tl::unexpected(CryptoError::badPublicKey());
  std::span<const std::uint8_t> raw = *decoded;
  if (raw.size() == 44 && std::equal(std::begin(kSPKIHeader), std::end(kSPKIHeader), raw.begin())) {
    raw = raw.subspan(12);
  }
  if (raw.size() != Ed25519PublicKey::kKeySize) return tl::unexpected(CryptoError::badPublicKey());
  return Ed25519PublicKey::fromRaw(raw);
}

Result<void, CryptoError> verifyEd25519(std::string_view signatureBase64,
                                        std::span<const std::uint8_t> message,
                                        const Ed25519PublicKey& publicKey) {
  std::optional<Bytes> signature = Base64::decode(UTF8::trimWhitespace(signatureBase64));
  if (!signature) return tl::unexpected(CryptoError::badSignature());
  std::unique_ptr<EVP_MD_CTX, MDContextFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, publicKey.handle()) != 1) {
    return tl::unexpected(CryptoError::verificationFailed());
  }
  // A signature of the wrong length simply fails to verify.
  if (EVP_DigestVerify(ctx.get(), signature->data(), signature->size(), message.data(),
                       message.size()) != 1) {
    return tl::unexpected(CryptoError::verificationFailed());
  }
  return {};
}

Result<void, CryptoError> verifyEd25519(std::string_view signatureBase64, std::string_view message,
                                        const Ed25519PublicKey& publicKey) {
  return verifyEd25519(signatureBase64,
                       std::span(reinterpret_cast<const std::uint8_t*>(message.data()), message.size()),
                       publicKey);
}

Bytes sha256(std::span<const std::uint8_t> bytes) {
  Bytes digest(32);
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
  return digest;
}

Bytes sha256(std::string_view bytes) {
  return sha256(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::string sha256Hex(std::span<const std::uint8_t> bytes) { return Hex::encode(sha256(bytes)); }
std::string sha256Hex(std::string_view bytes) { return Hex::encode(sha256(bytes)); }

std::optional<std::string> sha256HexOfFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  Sha256Hasher hasher;
  std::vector<char> chunk(1 << 16);
  while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
    hasher.update(std::string_view(chunk.data(), static_cast<std::size_t>(in.gcount())));
  }
  if (in.bad()) return std::nullopt;
  return Hex::encode(hasher.finish());
}

Sha256Hasher::Sha256Hasher() : ctx_(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
  EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr);
}

void Sha256Hasher::update(std::span<const std::uint8_t> bytes) {
  EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size());
}

void Sha256Hasher::update(std::string_view bytes) {
  EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size());
}

Bytes Sha256Hasher::finish() {
  Bytes digest(32);
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx_.get(), digest.data(), &length);
  EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr);
  return digest;
}

}  // namespace vela::AgentCrypto
