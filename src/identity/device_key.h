#pragma once

// The device's ECDSA P-256 identity key. create() prefers a hardware key in the OS key
// store, then an ordinary key there, then an owner-only file "device.key" in the state
// directory; on Linux only the file exists. A DeviceKey is used from one thread at a
// time (the enrolling or command thread); distinct instances are independent.

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/key_store.h"
#include "util/agent_error.h"
#include "util/bytes.h"

namespace vela {

class DeviceKey {
 public:
  enum class Backing { secureEnclave, software, file };
  static std::string_view rawValue(Backing backing);

  // The UTF-8 bytes of "com.vela.agent.devicekey".
  static const Bytes& defaultTag();

  // load(tag), and create(tag) when loading fails for any reason.
  static Result<DeviceKey> loadOrCreate(std::optional<Bytes> tag = std::nullopt);
  static Result<DeviceKey> load(const Bytes& tag = defaultTag());
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
  // Removes the key from the key store and deletes device.key. The object must not be
  // used afterwards.
  Result<void> deleteKey();

  // The private key as PKCS#8 PEM for a TLS client; only file-backed keys can be
  // exported, others fail.
  Result<std::string> privateKeyPEMForTLS() const;

  Backing backing() const { return backing_; }
  const platform::StoredKey& secKey() const { return *privateKey_; }
  const Bytes& tag() const { return tag_; }

 private:
  DeviceKey(std::unique_ptr<platform::StoredKey> key, Backing backing, Bytes tag)
      : privateKey_(std::move(key)), backing_(backing), tag_(std::move(tag)) {}

  static Result<DeviceKey> loadFileBacked(const Bytes& tag);
  static Result<DeviceKey> generate(const Bytes& tag, bool secureEnclave);
  static Result<DeviceKey> generateFileBacked(const Bytes& tag);

  std::unique_ptr<platform::StoredKey> privateKey_;
  Backing backing_;
  Bytes tag_;
};

}  // namespace vela
