#pragma once

// Leaf-key pins: base64 of SHA-256 over a certificate's DER SubjectPublicKeyInfo,
// rebuilt from the key's type, size and raw bytes. Only RSA 2048/4096 and EC
// P-256/P-384 keys have a pin; every other key never matches. Stateless.

#include <optional>
#include <set>
#include <string>

#include "net/tls_objects.h"

namespace vela::SPKIPin {

// Absent when the key cannot be read or is of an unsupported type or size.
std::optional<std::string> sha256Base64(const Certificate& certificate);

// Whether the pin of the chain's first certificate (the leaf) is in `pins`.
// Intermediates and the root are never considered.
bool leafMatches(const CertificateChain& chain, const std::set<std::string>& pins);

}  // namespace vela::SPKIPin
