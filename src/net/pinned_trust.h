#pragma once

// Everything the agent authenticates the control plane with: the internal CA, SPKI
// leaf pins, and the Ed25519 keys for commands and updates. Loaded once per process
// from the "pinned" directory of the state directory, falling back to PinnedDefaults;
// a value, passed by copy and never reloaded.

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "net/tls_objects.h"
#include "util/agent_crypto.h"
#include "util/agent_error.h"

namespace vela {

struct PinnedTrust {
  // The only TLS anchors when non-empty.
  std::vector<Certificate> caCertificates;
  std::set<std::string> spkiPins;
  AgentCrypto::Ed25519PublicKey commandPublicKey;
  AgentCrypto::Ed25519PublicKey updatePublicKey;
  // The update key's source text without surrounding white space.
  std::string updatePublicKeyBase64;

  bool pinsInternalCA() const { return !caCertificates.empty(); }

  // Fails with the first problem found; refuses when there is neither a CA nor a pin.
  static Result<PinnedTrust> load();

  // The file's text when it holds anything but white space, else the fallback unless
  // it is blank or a placeholder.
  static std::optional<std::string> optionalPinned(const std::string& file,
                                                   std::string_view fallback);
  // As optionalPinned, but absence is an error naming `label`.
  static Result<std::string> firstAvailable(const std::string& file, std::string_view fallback,
                                            std::string_view label);
  // Every block that decodes to a certificate, in order; bad blocks are skipped.
  static std::vector<Certificate> parseCertificates(std::string_view pem);
  static std::set<std::string> parseSPKIPins(const std::optional<std::string>& text);
};

}  // namespace vela
