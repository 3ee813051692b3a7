#pragma once

// The device's ECDSA P-256 identity key. It lives in the first backing of this system
// that holds or can create it (key_backing.h); on Linux that is the owner-only file
// device.key in the state directory. A DeviceKey is used from one thread at a time
// (the enrolling or command thread); distinct instances are independent.

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "identity/key_backing.h"
#include "util/agent_error.h"
#include "util/bytes.h"

namespace vela {

class DeviceKey {
 public:
  using Backing = DeviceKeyBacking;
  static std::string_view rawValue(Backing backing);

  // The UTF-8 bytes of "com.vela.agent.devicekey".
  static const Bytes& defaultTag();

  // load(tag), and create(tag) when loading fails for any reason.
  static Result<DeviceKey> loadOrCreate(std::optional<Bytes> tag = std::nullopt);
  // The key of the first backing that holds one; "device key not found" when none does.
  static Result<DeviceKey> load(const Bytes& tag = defaultTag());
  // A new key in the first backing that can make one, logged at info level; when every
  // backing fails, the last one's error.
  static Result<DeviceKey> create(const Bytes& tag = defaultTag());

  DeviceKey(DeviceKey&&) = default;
  DeviceKey& operator=(DeviceKey&&) = default;

  // ECDSA P-256 over SHA-256 of `data`; DER SEQUENCE { INTEGER r, INTEGER s }.
  Result<Bytes> sign(std::span<const std::uint8_t> data) const;
  // 0x04 || X || Y, 65 bytes.
  Result<Bytes> publicKeyX963() const;
  // DER SubjectPublicKeyInfo for id-ecPublicKey on prime256v1, 91 bytes.
  Result<Bytes> publicKeySPKI() const;
  // The SPKI armoured as "PUBLIC KEY".
  Result<std::string> publicKeyPEM() const;
  // Removes the key from every backing. The object must not be used afterwards.
  Result<void> deleteKey();

  // The private key as PKCS#8 PEM for a TLS client; fails for a key that cannot leave
  // its backing.
  Result<std::string> privateKeyPEMForTLS() const;

  Backing backing() const { return backing_; }
  const Bytes& tag() const { return tag_; }

 private:
  DeviceKey(std::unique_ptr<BackedKey> key, Backing backing, Bytes tag)
      : privateKey_(std::move(key)), backing_(backing), tag_(std::move(tag)) {}

  std::unique_ptr<BackedKey> privateKey_;
  Backing backing_;
  Bytes tag_;
};

}  // namespace vela
