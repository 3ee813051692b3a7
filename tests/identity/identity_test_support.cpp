#include "identity_test_support.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace vela::testing {
namespace {

class FakeStoredKey final : public platform::StoredKey {
 public:
  FakeStoredKey(std::unique_ptr<ECPrivateKey> key, bool hardware)
      : key_(std::move(key)), hardware_(hardware) {}
  Result<Bytes> sign(std::span<const std::uint8_t> data) const override { return key_->sign(data); }
  Result<Bytes> publicKeyX963() const override { return key_->publicKeyX963(); }
  bool hardwareBacked() const override { return hardware_; }

 private:
  std::unique_ptr<ECPrivateKey> key_;
  bool hardware_;
};

}  // namespace

bool verifySignature(const Bytes& spki, const Bytes& message, const Bytes& signature) {
  const unsigned char* cursor = spki.data();
  EVP_PKEY* key = d2i_PUBKEY(nullptr, &cursor, static_cast<long>(spki.size()));
  if (!key) return false;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
            EVP_DigestVerify(ctx, signature.data(), signature.size(), message.data(),
                             message.size()) == 1;
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  return ok;
}

int FakeKeyStore::probeDataProtection(std::string_view) {
  ++probes;
  return probeStatus;
}

int FakeKeyStore::findKey(std::span<const std::uint8_t> tag, bool dataProtection,
                          std::unique_ptr<platform::StoredKey>& out) {
  lastDataProtection = dataProtection;
  auto it = keys.find(Bytes(tag.begin(), tag.end()));
  if (it == keys.end()) return platform::kKeyStoreItemNotFound;
  out = std::make_unique<FakeStoredKey>(ECPrivateKey::fromX963(it->second.first).value(),
                                        it->second.second);
  return platform::kKeyStoreSuccess;
}

Result<std::unique_ptr<platform::StoredKey>> FakeKeyStore::generateKey(
    std::span<const std::uint8_t> tag, bool hardware, bool dataProtection) {
  lastDataProtection = dataProtection;
  if (hardware ? !hardwareWorks : !softwareWorks) return fail("SecKeyCreateRandomKey failed: -4");
  auto key = ECPrivateKey::generate().value();
  keys[Bytes(tag.begin(), tag.end())] = {key->exportX963().value(), hardware};
  return std::unique_ptr<platform::StoredKey>(new FakeStoredKey(std::move(key), hardware));
}

int FakeKeyStore::deleteKeys(std::span<const std::uint8_t> tag, bool dataProtection) {
  lastDataProtection = dataProtection;
  bool erased = keys.erase(Bytes(tag.begin(), tag.end())) > 0;
  if (deleteStatus != platform::kKeyStoreSuccess) return deleteStatus;
  return erased ? platform::kKeyStoreSuccess : platform::kKeyStoreItemNotFound;
}

}  // namespace vela::testing
