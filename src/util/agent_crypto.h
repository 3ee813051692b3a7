#pragma once

// Ed25519 public-key loading and signature verification, and SHA-256, on OpenSSL.
// All functions are thread-safe; keys are immutable values that may be shared.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "util/agent_error.h"
#include "util/bytes.h"

struct evp_pkey_st;
struct evp_md_ctx_st;

namespace vela::AgentCrypto {

class CryptoError {
 public:
  enum class Kind { badPublicKey, badSignature, verificationFailed };

  static CryptoError badPublicKey() { return CryptoError(Kind::badPublicKey); }
  static CryptoError badSignature() { return CryptoError(Kind::badSignature); }
  static CryptoError verificationFailed() { return CryptoError(Kind::verificationFailed); }

  Kind kind() const { return kind_; }
  // "malformed Ed25519 public key", "malformed signature", "signature verification failed".
  std::string description() const;
  AgentError toAgentError() const { return AgentError(description()); }

  bool operator==(const CryptoError&) const = default;

 private:
  explicit CryptoError(Kind kind) : kind_(kind) {}
  Kind kind_;
};

class Ed25519PublicKey {
 public:
  static constexpr std::size_t kKeySize = 32;

  // The key from its 32 raw bytes; badPublicKey when the crypto library refuses them.
  static Result<Ed25519PublicKey, CryptoError> fromRaw(std::span<const std::uint8_t> raw);

  const std::array<std::uint8_t, kKeySize>& rawRepresentation() const { return raw_; }
  // True for a point of small order (a signature made of constants then verifies for
  // every message) and for a non-canonical encoding (y not below p, or x = 0 with the
  // sign bit set). Such a key must never be pinned.
  bool isWeak() const;
  evp_pkey_st* handle() const { return key_.get(); }

  bool operator==(const Ed25519PublicKey& other) const { return raw_ == other.raw_; }

 private:
  Ed25519PublicKey() = default;
  std::array<std::uint8_t, kKeySize> raw_{};
  std::shared_ptr<evp_pkey_st> key_;
};

// Accepts base64 of the 32 raw key bytes, base64 of the 44-byte DER
// SubjectPublicKeyInfo (RFC 8410), or that DER inside PEM armour. Surrounding white
// space is ignored.
Result<Ed25519PublicKey, CryptoError> ed25519PublicKey(std::string_view fromBase64OrPEM);

// Verifies an Ed25519 (RFC 8032) signature given in standard base64 over the exact
// message bytes. badSignature when the text is not base64, verificationFailed when the
// signature does not hold.
Result<void, CryptoError> verifyEd25519(std::string_view signatureBase64,
                                        std::span<const std::uint8_t> message,
                                        const Ed25519PublicKey& publicKey);
Result<void, CryptoError> verifyEd25519(std::string_view signatureBase64, std::string_view message,
                                        const Ed25519PublicKey& publicKey);

// The 32-byte digest, and the same as 64 lower-case hexadecimal characters.
Bytes sha256(std::span<const std::uint8_t> bytes);
Bytes sha256(std::string_view bytes);
std::string sha256Hex(std::span<const std::uint8_t> bytes);
std::string sha256Hex(std::string_view bytes);
// Of a whole file, read in pieces; nothing when it cannot be read to its end.
std::optional<std::string> sha256HexOfFile(const std::string& path);

// Incremental SHA-256 for data that arrives in pieces (downloads, recordings).
class Sha256Hasher {
 public:
  Sha256Hasher();
  void update(std::span<const std::uint8_t> bytes);
  void update(std::string_view bytes);
  // The digest of everything given so far; the hasher starts over afterwards.
  Bytes finish();

 private:
  std::unique_ptr<evp_md_ctx_st, void (*)(evp_md_ctx_st*)> ctx_;
};

}  // namespace vela::AgentCrypto
