#include "platform/key_store.h"

namespace vela::platform {
namespace {

// A root daemon on Linux has no per-user keychain; device keys live in an owner-only
// file instead, so this store reports itself absent and finds nothing.
class NoKeyStore final : public KeyStore {
 public:
  bool available() const override { return false; }
  int probeDataProtection(std::string_view) override { return kKeyStoreItemNotFound; }
  int findKey(std::span<const std::uint8_t>, bool, std::unique_ptr<StoredKey>&) override {
    return kKeyStoreItemNotFound;
  }
  Result<std::unique_ptr<StoredKey>> generateKey(std::span<const std::uint8_t>, bool,
                                                 bool) override {
    return fail("SecKeyCreateRandomKey failed: no key store on this system");
  }
  int deleteKeys(std::span<const std::uint8_t>, bool) override { return kKeyStoreItemNotFound; }
  int addCertificate(std::span<const std::uint8_t>, std::string_view, bool) override {
    return kKeyStoreItemNotFound;
  }
  int deleteCertificates(std::string_view, bool) override { return kKeyStoreItemNotFound; }
};

}  // namespace

KeyStore& systemKeyStore() {
  static NoKeyStore store;
  return store;
}

}  // namespace vela::platform
