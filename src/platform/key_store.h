#pragma once

// The operating system's store for keys and certificates (a keychain), when the
// platform has one. Status codes follow that store's conventions so callers can tell
// "not found" and "duplicate" from real failures. Implementations are used from one
// thread at a time; the process-wide instance is safe to call from any thread.

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "util/agent_error.h"
#include "util/bytes.h"

namespace vela::platform {

inline constexpr int kKeyStoreSuccess = 0;
inline constexpr int kKeyStoreDuplicateItem = -25299;
inline constexpr int kKeyStoreItemNotFound = -25300;
inline constexpr int kKeyStoreMissingEntitlement = -34018;

// An EC P-256 private key held by the store; the private part may be unexportable.
class StoredKey {
 public:
  virtual ~StoredKey() = default;
  // ECDSA over SHA-256 of `data`, DER-encoded (r, s).
  virtual Result<Bytes> sign(std::span<const std::uint8_t> data) const = 0;
  // The uncompressed public point: 0x04, X, Y.
  virtual Result<Bytes> publicKeyX963() const = 0;
  // True when the key lives in dedicated hardware.
  virtual bool hardwareBacked() const = 0;
};

class KeyStore {
 public:
  virtual ~KeyStore() = default;

  // False when the system offers no store at all; every other call then fails or
  // reports "not found".
  virtual bool available() const = 0;

  // Adds a small generic-password item under `account` in the data-protection
  // keychain and removes it again; returns the status of the add.
  virtual int probeDataProtection(std::string_view account) = 0;

  // Looks up the private key with application tag `tag`. On status 0 `out` is set.
  virtual int findKey(std::span<const std::uint8_t> tag, bool dataProtection,
                      std::unique_ptr<StoredKey>& out) = 0;
  // Creates a permanent key with `tag`, in hardware when `hardware` is true.
  virtual Result<std::unique_ptr<StoredKey>> generateKey(std::span<const std::uint8_t> tag,
                                                         bool hardware, bool dataProtection) = 0;
  virtual int deleteKeys(std::span<const std::uint8_t> tag, bool dataProtection) = 0;

  virtual int addCertificate(std::span<const std::uint8_t> der, std::string_view label,
                             bool dataProtection) = 0;
  virtual int deleteCertificates(std::string_view label, bool dataProtection) = 0;
};

// The store of this system (on Linux: none).
KeyStore& systemKeyStore();

}  // namespace vela::platform
