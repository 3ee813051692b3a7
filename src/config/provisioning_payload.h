#pragma once

// A whole provisioning document ("provisioning.json"): the server and, optionally,
// tenant, customer, token, channel and pinned trust material. Decoding is lenient:
// each field accepts several key spellings, and a missing or mistyped member simply
// falls through to the next spelling.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/agent_config.h"
#include "util/agent_error.h"

namespace vela {

struct ProvisioningPayload {
  std::string server;
  std::optional<std::string> tenant;
  std::optional<std::string> customer;
  std::optional<std::string> token;
  std::optional<std::string> channel;
  std::optional<std::string> caPem;
  std::optional<std::string> commandPubkey;
  std::optional<std::string> updatePubkey;
  std::optional<std::vector<std::string>> spkiPins;
  std::optional<bool> quickAssist;

  // Fails only when the bytes are not JSON or the top level is not an object; the
  // error starts with `name`.
  static Result<ProvisioningPayload> decode(std::string_view json, std::string_view name = "provisioning.json");
  // A document in a file that another local user could not have planted or changed
  // (see platform::readTrustedFile); the errors name the file.
  static Result<ProvisioningPayload> readTrusted(const std::string& path);
  // `server` always, every other field only when present.
  std::string encode() const;

  // Whether the document carries any trust material (a CA, a key or a pin).
  bool carriesPinnedMaterial() const;
  // Writes the trust material into the pinned directory (created 0700), each file
  // atomically and owner-only. Stops at the first failure; earlier files stay.
  Result<void> applyPinnedMaterial() const;

  // A new configuration with the defaults, the document's settings and no identity.
  AgentConfig toConfig() const;

  bool operator==(const ProvisioningPayload&) const = default;
};

}  // namespace vela
