#pragma once

// Helpers shared by the identity tests: OpenSSL-side verification and a key store
// that behaves like a keychain, for the backings Linux does not have.

#include <map>
#include <memory>
#include <string>

#include "identity/ec_private_key.h"
#include "platform/key_store.h"
#include "util/bytes.h"

namespace vela::testing {

// Verifies a DER ECDSA-SHA256 signature against a DER SubjectPublicKeyInfo.
bool verifySignature(const Bytes& spki, const Bytes& message, const Bytes& signature);

class FakeKeyStore final : public platform::KeyStore {
 public:
  bool hardwareWorks = true;
  bool softwareWorks = true;
  int probeStatus = 0;
  int deleteStatus = platform::kKeyStoreSuccess;
  int probes = 0;
  bool lastDataProtection = false;
  std::map<Bytes, std::pair<Bytes, bool>> keys;  // tag -> (X9.63 private, hardware)

  bool available() const override { return true; }
  int probeDataProtection(std::string_view) override;
  int findKey(std::span<const std::uint8_t> tag, bool dataProtection,
              std::unique_ptr<platform::StoredKey>& out) override;
  Result<std::unique_ptr<platform::StoredKey>> generateKey(std::span<const std::uint8_t> tag,
                                                           bool hardware,
                                                           bool dataProtection) override;
  int deleteKeys(std::span<const std::uint8_t> tag, bool dataProtection) override;
  int addCertificate(std::span<const std::uint8_t>, std::string_view, bool) override { return 0; }
  int deleteCertificates(std::string_view, bool) override { return 0; }
};

}  // namespace vela::testing
