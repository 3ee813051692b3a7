#include "identity/device_key.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <map>

#include "config/agent_paths.h"
#include "identity/ec_private_key.h"
#include "identity/keychain.h"
#include "identity/pem.h"
#include "platform/file_io.h"
#include "support/temp_dir.h"
#include "util/hex.h"

namespace vela {
namespace {

using testing::ScopedStateDir;

bool verifySignature(const Bytes& spki, const Bytes& message, const Bytes& signature) {
  const unsigned char* cursor = spki.data();
  EVP_PKEY* key = d2i_PUBKEY(nullptr, &cursor, static_cast<long>(spki.size()));
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = key && EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
            EVP_DigestVerify(ctx, signature.data(), signature.size(), message.data(),
                             message.size()) == 1;
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  return ok;
}

// Behaves like a keychain for the backings Linux lacks.
class FakeKeyStore final : public platform::KeyStore {
 public:
  bool hardwareWorks = true, softwareWorks = true;
  int probeStatus = 0, probes = 0;
  bool lastDataProtection = false;

  bool available() const override { return true; }
  int probeDataProtection(std::string_view) override { return ++probes, probeStatus; }
  int findKey(std::span<const std::uint8_t> tag, bool dataProtection,
              std::unique_ptr<platform::StoredKey>& out) override {
    lastDataProtection = dataProtection;
    auto it = keys_.find(Bytes(tag.begin(), tag.end()));
    if (it == keys_.end()) return platform::kKeyStoreItemNotFound;
    out =
        std::make_unique<Key>(ECPrivateKey::fromX963(it->second.first).value(), it->second.second);
    return 0;
  }
  Result<std::unique_ptr<platform::StoredKey>> generateKey(std::span<const std::uint8_t> tag,
                                                           bool hardware,
                                                           bool dataProtection) override {
    lastDataProtection = dataProtection;
    if (hardware ? !hardwareWorks : !softwareWorks) return fail("SecKeyCreateRandomKey failed: -4");
    auto key = ECPrivateKey::generate().value();
    keys_[Bytes(tag.begin(), tag.end())] = {key->exportX963().value(), hardware};
    return std::unique_ptr<platform::StoredKey>(new Key(std::move(key), hardware));
  }
  int deleteKeys(std::span<const std::uint8_t> tag, bool) override {
    return keys_.erase(Bytes(tag.begin(), tag.end())) ? 0 : platform::kKeyStoreItemNotFound;
  }
  int addCertificate(std::span<const std::uint8_t>, std::string_view, bool) override { return 0; }
  int deleteCertificates(std::string_view, bool) override { return 0; }

 private:
  struct Key final : platform::StoredKey {
    Key(std::unique_ptr<ECPrivateKey> k, bool h) : key(std::move(k)), hardware(h) {}
    Result<Bytes> sign(std::span<const std::uint8_t> data) const override {
      return key->sign(data);
    }
    Result<Bytes> publicKeyX963() const override { return key->publicKeyX963(); }
    bool hardwareBacked() const override { return hardware; }
    std::unique_ptr<ECPrivateKey> key;
    bool hardware;
  };
  std::map<Bytes, std::pair<Bytes, bool>> keys_;  // tag -> (X9.63 private form, hardware)
};

const char* kSPKIPrefix =
    "3059301306072a8648ce3d020106082a8648ce3d030107034200"
    "04";

class DeviceKeyFileTest : public ::testing::Test {
 protected:
  void SetUp() override { Keychain::setStoreForTesting(nullptr); }
  ScopedStateDir state;
};

TEST_F(DeviceKeyFileTest, CreateFallsBackToOwnerOnlyFileThatReloadsToTheSameKey) {
  ::testing::internal::CaptureStderr();
  DeviceKey created = DeviceKey::create().value();
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(created.backing(), DeviceKey::Backing::file);
  EXPECT_EQ(Keychain::modeName(), "none");
  EXPECT_TRUE(Keychain::base().empty());
  EXPECT_NE(err.find("] WARN: OS keychain unavailable (daemon session); generated file-backed "
                     "device key at " +
                     state.file("device.key") +
                     ". Remote-control mTLS needs a data-protection-keychain-entitled build.\n"),
            std::string::npos)
      << err;

  std::string file = testing::readFileOrEmpty(state.file("device.key"));
  Bytes point = created.publicKeyX963().value();
  ASSERT_EQ(file.size(), 97u);
  EXPECT_EQ(toBytes(file.substr(0, 65)), point);
  EXPECT_EQ(platform::fileMode(state.file("device.key")).value(), 0600u);

  DeviceKey loaded = DeviceKey::load().value();
  EXPECT_EQ(loaded.backing(), DeviceKey::Backing::file);
  EXPECT_EQ(loaded.tag(), toBytes("com.vela.agent.devicekey"));
  EXPECT_EQ(loaded.publicKeyX963().value(), point);

  Bytes spki = loaded.publicKeySPKI().value();
  ASSERT_EQ(spki.size(), 91u);
  EXPECT_EQ(Hex::encode(spki).substr(0, 54), kSPKIPrefix);
  std::string pem = loaded.publicKeyPEM().value();
  EXPECT_TRUE(pem.starts_with("-----BEGIN PUBLIC KEY-----\n"));
  EXPECT_EQ(PEM::decode(pem).value(), spki);

  // Signatures made before the reload verify with the reloaded public key.
  Bytes message = toBytes("certification request info");
  Bytes signature = created.sign(message).value();
  EXPECT_EQ(signature[0], 0x30);
  EXPECT_TRUE(verifySignature(spki, message, signature));
  EXPECT_FALSE(verifySignature(spki, toBytes("certification request inf0"), signature));
  EXPECT_TRUE(verifySignature(spki, message, loaded.sign(message).value()));
}

TEST_F(DeviceKeyFileTest, CorruptFileFailsToLoadAndLoadOrCreateReplacesIt) {
  std::string good = [] {
    (void)DeviceKey::create().value();
    return testing::readFileOrEmpty(AgentPaths::deviceKeyFile());
  }();
  std::string wrongScalar = good;
  wrongScalar[96] = static_cast<char>(wrongScalar[96] ^ 0x01);
  std::string compressed = good;
  compressed[0] = 0x02;
  for (const std::string& corrupt :
       {good.substr(0, 96), good + "x", compressed, wrongScalar, std::string(97, '\0')}) {
    testing::writeFile(state.file("device.key"), corrupt);
    auto loaded = DeviceKey::load();
    ASSERT_FALSE(loaded);
    EXPECT_TRUE(loaded.error().message.starts_with("could not load file-backed device key: "))
        << loaded.error().message;
  }

  DeviceKey fresh = DeviceKey::loadOrCreate().value();
  EXPECT_EQ(fresh.backing(), DeviceKey::Backing::file);
  std::string rewritten = testing::readFileOrEmpty(state.file("device.key"));
  EXPECT_EQ(rewritten.size(), 97u);
  EXPECT_NE(rewritten, good);
  EXPECT_EQ(DeviceKey::load().value().publicKeyX963().value(), fresh.publicKeyX963().value());
}

TEST_F(DeviceKeyFileTest, DeleteRemovesTheFileAndToleratesAbsentKeychainItems) {
  DeviceKey key = DeviceKey::create().value();
  ASSERT_TRUE(key.deleteKey());
  EXPECT_FALSE(platform::fileExists(state.file("device.key")));
  auto missing = DeviceKey::load();
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message, "device key not found (status -25300)");
  EXPECT_TRUE(key.deleteKey());
}

class DeviceKeyStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { Keychain::setStoreForTesting(&store); }
  void TearDown() override { Keychain::setStoreForTesting(nullptr); }
  ScopedStateDir state;
  FakeKeyStore store;
};

TEST_F(DeviceKeyStoreTest, CreatePrefersHardwareThenSoftwareThenFile) {
  DeviceKey first = DeviceKey::loadOrCreate().value();
  EXPECT_EQ(first.backing(), DeviceKey::Backing::secureEnclave);
  DeviceKey again = DeviceKey::loadOrCreate().value();
  EXPECT_EQ(again.backing(), DeviceKey::Backing::secureEnclave);
  EXPECT_EQ(again.publicKeyX963().value(), first.publicKeyX963().value());
  EXPECT_FALSE(platform::fileExists(state.file("device.key")));

  store.hardwareWorks = false;
  ::testing::internal::CaptureStderr();
  DeviceKey software = DeviceKey::create(toBytes("tag-2")).value();
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(software.backing(), DeviceKey::Backing::software);
  EXPECT_NE(err.find("WARN: Secure Enclave unavailable; generated software (keychain) device key"),
            std::string::npos);
  EXPECT_EQ(DeviceKey::load(toBytes("tag-2")).value().backing(), DeviceKey::Backing::software);

  store.softwareWorks = false;
  EXPECT_EQ(DeviceKey::create(toBytes("tag-3")).value().backing(), DeviceKey::Backing::file);
  // A key in the store wins over the file; a tag the store lacks falls back to it.
  EXPECT_EQ(DeviceKey::load().value().backing(), DeviceKey::Backing::secureEnclave);
  EXPECT_EQ(DeviceKey::load(toBytes("tag-3")).value().backing(), DeviceKey::Backing::file);
}

TEST_F(DeviceKeyStoreTest, ProbeDecidesTheKeychainOnceForTheProcess) {
  store.probeStatus = platform::kKeyStoreMissingEntitlement;
  EXPECT_TRUE(Keychain::base().empty());
  (void)DeviceKey::create().value();
  EXPECT_FALSE(store.lastDataProtection);
  store.probeStatus = 0;  // ignored: the answer is fixed now
  EXPECT_EQ(Keychain::modeName(), "legacy");
  EXPECT_EQ(store.probes, 1);

  // Any other answer, even an unknown failure, selects the data-protection keychain.
  Keychain::setStoreForTesting(&store);
  store.probeStatus = -50;
  EXPECT_EQ(Keychain::base(), (Keychain::Attributes{{"useDataProtectionKeychain", true}}));
  (void)DeviceKey::load();
  EXPECT_TRUE(store.lastDataProtection);
}

}  // namespace
}  // namespace vela
