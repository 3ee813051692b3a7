#include "identity/device_key.h"

#include "identity/der.h"
#include "identity/pem.h"
#include "util/log.h"

namespace vela {

std::string_view DeviceKey::rawValue(Backing backing) {
  switch (backing) {
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
  for (const auto& backing : keyBackings()) {
    auto found = VELA_TRY(backing->find(tag));
    if (found) return DeviceKey(std::move(*found), backing->kind(), tag);
  }
  return fail("device key not found");
}

Result<DeviceKey> DeviceKey::create(const Bytes& tag) {
  Result<std::unique_ptr<BackedKey>> created = fail("no device key backing");
  for (const auto& backing : keyBackings()) {
    created = backing->create(tag);
    if (created) {
      Log::info(backing->createdMessage());
      return DeviceKey(std::move(*created), backing->kind(), tag);
    }
  }
  return tl::unexpected(created.error());
}

Result<Bytes> DeviceKey::sign(std::span<const std::uint8_t> data) const {
  auto signature = privateKey_->sign(data);
  if (!signature) return fail("device key signing failed: " + signature.error().message);
  return signature;
}

Result<Bytes> DeviceKey::publicKeyX963() const {
  auto point = privateKey_->publicKeyX963();
  if (!point) return fail("could not export device public key: " + point.error().message);
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
  // Every backing is asked, so a key left behind by an earlier preference goes too.
  Result<void> outcome;
  for (const auto& backing : keyBackings()) {
    auto removed = backing->remove(tag_);
    if (!removed && outcome) outcome = removed;
  }
  return outcome;
}

Result<std::string> DeviceKey::privateKeyPEMForTLS() const { return privateKey_->privateKeyPEM(); }

}  // namespace vela
