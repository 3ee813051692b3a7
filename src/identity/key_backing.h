#pragma once

// Where a device key lives. DeviceKey asks the backings of this system in order of
// preference and knows none of them by name, so a hardware backing (a TPM) can be put
// ahead of the owner-only file without touching enrolment. Backings are stateless;
// the list is safe to read from any thread, each backing is used from one at a time.

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "util/agent_error.h"
#include "util/bytes.h"

namespace vela {

// The text of each value is what status output prints.
enum class DeviceKeyBacking { file };

// An EC P-256 private key held by a backing; its private part may never leave it.
class BackedKey {
 public:
  virtual ~BackedKey() = default;
  // ECDSA over SHA-256 of `data`, DER-encoded (r, s). Errors carry the reason only.
  virtual Result<Bytes> sign(std::span<const std::uint8_t> data) const = 0;
  // The uncompressed public point: 0x04, X, Y.
  virtual Result<Bytes> publicKeyX963() const = 0;
  // PKCS#8 PEM for the TLS client; fails for a key that cannot leave its backing.
  virtual Result<std::string> privateKeyPEM() const = 0;
};

class KeyBacking {
 public:
  virtual ~KeyBacking() = default;

  virtual DeviceKeyBacking kind() const = 0;
  // The key held under `tag`: absent when there is none, an error when there is one
  // that cannot be used.
  virtual Result<std::optional<std::unique_ptr<BackedKey>>> find(const Bytes& tag) = 0;
  // A new key under `tag`, replacing any earlier one.
  virtual Result<std::unique_ptr<BackedKey>> create(const Bytes& tag) = 0;
  // A key that is already gone is not an error.
  virtual Result<void> remove(const Bytes& tag) = 0;
  // The info line logged once create() succeeded.
  virtual std::string createdMessage() const = 0;
};

using KeyBackings = std::vector<std::shared_ptr<KeyBacking>>;

// This system's backings, most preferred first (on Linux only the device.key file).
KeyBackings keyBackings();
// Replaces them; an empty list restores the system's.
void setKeyBackingsForTesting(KeyBackings backings);

}  // namespace vela
