#pragma once

// An EC P-256 private key held in process memory by OpenSSL: the key behind the
// file-backed device identity. Errors carry OpenSSL's reason text ("unknown" when it
// gives none) without a prefix, so callers can add their own. Immutable after
// construction; safe to share between threads.

#include <memory>
#include <span>
#include <string>

#include "identity/key_backing.h"
#include "util/agent_error.h"
#include "util/bytes.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace vela {

class ECPrivateKey final : public BackedKey {
 public:
  // Size of the X9.63 private form: 0x04, X, Y, then the private scalar.
  static constexpr std::size_t kX963PrivateSize = 97;

  static Result<std::unique_ptr<ECPrivateKey>> generate();
  // Rejects anything but a consistent P-256 key pair in X9.63 private form.
  static Result<std::unique_ptr<ECPrivateKey>> fromX963(std::span<const std::uint8_t> bytes);

  ~ECPrivateKey() override;
  ECPrivateKey(const ECPrivateKey&) = delete;
  ECPrivateKey& operator=(const ECPrivateKey&) = delete;

  Result<Bytes> exportX963() const;
  // PKCS#8 "PRIVATE KEY" PEM, the form TLS libraries take for a client key.
  Result<std::string> privateKeyPEM() const override;

  Result<Bytes> sign(std::span<const std::uint8_t> data) const override;
  Result<Bytes> publicKeyX963() const override;

 private:
  explicit ECPrivateKey(EVP_PKEY* key) : key_(key) {}
  EVP_PKEY* const key_;
};

// The reason of the oldest queued OpenSSL error, or "unknown"; clears the queue.
std::string openSSLReason();

}  // namespace vela
