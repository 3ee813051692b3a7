#include "identity/device_key.h"

#include "config/agent_paths.h"
#include "identity/der.h"
#include "identity/ec_private_key.h"
#include "identity/keychain.h"
#include "identity/pem.h"
#include "platform/file_io.h"
#include "util/log.h"

namespace vela {

std::string_view DeviceKey::rawValue(Backing backing) {
  switch (backing) {
    case Backing::secureEnclave:
      return "secureEnclave";
    case Backing::software:
      return "software";
    case Backing::file:
      return "file";
  }
  return "file";
}

const Bytes& DeviceKey::defaultTag() {
  static const Bytes tag = toBytes("com.vela.agent.devicekey");
  return tag;
}

Result<DeviceKey> DeviceKey::loadOrCreate(std::optional<Bytes> tag) {
  const Bytes& chosen = tag ? *tag : defaultTag();
  if (auto loaded = load(chosen)) return loaded;
  return create(chosen);
}

Result<DeviceKey> DeviceKey::load(const Bytes& tag) {
  std::unique_ptr<platform::StoredKey> found;
  int status = Keychain::store().findKey(tag, Keychain::usesDataProtection(), found);
  if (status == platform::kKeyStoreSuccess && found) {
    Backing backing = found->hardwareBacked() ? Backing::secureEnclave : Backing::software;
    return DeviceKey(std::move(found), backing, tag);
  }
  if (platform::fileExists(AgentPaths::deviceKeyFile())) return loadFileBacked(tag);
  return fail("device key not found (status " + std::to_string(status) + ")");
}

Result<DeviceKey> DeviceKey::loadFileBacked(const Bytes& tag) {
  std::string bytes = VELA_TRY(AgentPaths::readStateFile(AgentPaths::deviceKeyFile()));
  auto key = ECPrivateKey::fromX963(toBytes(bytes));
  if (!key) return fail("could not load file-backed device key: " + key.error().message);
  return DeviceKey(std::move(*key), Backing::file, tag);
}

Result<DeviceKey> DeviceKey::create(const Bytes& tag) {
  if (auto key = generate(tag, /*secureEnclave=*/true)) {
    Log::info("Generated Secure Enclave-backed device key");
    return key;
  }
  if (auto key = generate(tag, /*secureEnclave=*/false)) {
    Log::warn("Secure Enclave unavailable; generated software (keychain) device key");
    return key;
  }
  DeviceKey key = VELA_TRY(generateFileBacked(tag));
  Log::warn("OS keychain unavailable (daemon session); generated file-backed device key at " +
            AgentPaths::deviceKeyFile() + ". " +
            "Remote-control mTLS needs a data-protection-keychain-entitled build.");
  return key;
}

Result<DeviceKey> DeviceKey::generate(const Bytes& tag, bool secureEnclave) {
  platform::KeyStore& store = Keychain::store();
  bool dataProtection = Keychain::usesDataProtection();
  // A stale key under the same tag would make later lookups ambiguous.
  (void)store.deleteKeys(tag, dataProtection);
  auto key = VELA_TRY(store.generateKey(tag, secureEnclave, dataProtection));
  return DeviceKey(std::move(key), secureEnclave ? Backing::secureEnclave : Backing::software, tag);
}

Result<DeviceKey> DeviceKey::generateFileBacked(const Bytes& tag) {
  auto key = ECPrivateKey::generate();
  if (!key) return fail("SecKeyCreateRandomKey (ephemeral) failed: " + key.error().message);
  auto exported = (*key)->exportX963();
  if (!exported) return fail("could not export device key: " + exported.error().message);
  VELA_TRY_VOID(AgentPaths::writeProtected(toString(*exported), AgentPaths::deviceKeyFile()));
  return DeviceKey(std::move(*key), Backing::file, tag);
}

Result<Bytes> DeviceKey::sign(std::span<const std::uint8_t> data) const {
  auto signature = privateKey_->sign(data);
  if (!signature) return fail("SecKeyCreateSignature failed: " + signature.error().message);
  return signature;
}

Result<Bytes> DeviceKey::publicKeyX963() const {
  auto point = privateKey_->publicKeyX963();
  if (!point) return fail("SecKeyCopyExternalRepresentation failed: " + point.error().message);
  return point;
}

Result<Bytes> DeviceKey::publicKeySPKI() const {
  Bytes point = VELA_TRY(publicKeyX963());
  return DER::sequence({
      DER::sequence({DER::oid(DER::OID::ecPublicKey), DER::oid(DER::OID::prime256v1)}),
      DER::bitString(point, 0),
  });
}

Result<std::string> DeviceKey::publicKeyPEM() const {
  Bytes spki = VELA_TRY(publicKeySPKI());
  return PEM::encode(spki, "PUBLIC KEY");
}

Result<void> DeviceKey::deleteKey() {
  int status = Keychain::store().deleteKeys(tag_, Keychain::usesDataProtection());
  (void)platform::removeFile(AgentPaths::deviceKeyFile());
  if (status != platform::kKeyStoreSuccess && status != platform::kKeyStoreItemNotFound) {
    return fail("failed to delete device key (status " + std::to_string(status) + ")");
  }
  return {};
}

Result<std::string> DeviceKey::privateKeyPEMForTLS() const {
  const auto* fileKey = dynamic_cast<const ECPrivateKey*>(privateKey_.get());
  if (!fileKey) return fail("device key is held by the key store and cannot be exported");
  return fileKey->privateKeyPEM();
}

}  // namespace vela
