#pragma once

// The device key as an owner-only file, device.key in the state directory: the
// private key in X9.63 form (0x04, X, Y, scalar; 97 bytes), written atomically. A root
// daemon on Linux has no keychain; this key and agent.crt together are the mTLS
// identity. The path follows the state directory at each call. One file per state
// directory, so the tag is not part of it.

#include "identity/key_backing.h"

namespace vela {

class FileKeyBacking final : public KeyBacking {
 public:
  DeviceKeyBacking kind() const override { return DeviceKeyBacking::file; }
  // Fails with "could not load file-backed device key: " + reason for a damaged file.
  Result<std::optional<std::unique_ptr<BackedKey>>> find(const Bytes& tag) override;
  Result<std::unique_ptr<BackedKey>> create(const Bytes& tag) override;
  // Removing the file is best effort, as uninstall and reset must go on regardless.
  Result<void> remove(const Bytes& tag) override;
  std::string createdMessage() const override;
};

}  // namespace vela
