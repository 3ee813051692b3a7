#pragma once

// A command as received from the control plane, checked for its required fields and
// carrying the exact bytes its signature must cover. Nothing here is trusted yet: the
// CommandVerifier decides whether the command may run. A plain value.

#include <cstdint>
#include <optional>
#include <string>

#include "util/agent_error.h"
#include "util/bytes.h"
#include "util/json_value.h"

namespace vela {

struct IncomingCommand {
  std::string agentID;  // the receiving agent's own id, never read from the command
  std::int64_t sequenceNo = 0;
  std::string nonce;
  std::int64_t issuedAt = 0;  // seconds since 1970-01-01 UTC
  std::string type;           // as received
  JSONValue payload;          // an empty object when absent or null
  std::string signatureBase64;
  std::optional<std::string> commandID;  // `id`, else `command_id`, when a string
  // Canonical JSON of {agent_id, issued_at, nonce, payload, sequence_no, type}.
  Bytes canonicalSignedBytes;

  // Checks fields in a fixed order; the first problem fails with its message, e.g.
  // "command missing field 'nonce'" or "sequence_no not an integer".
  static Result<IncomingCommand> parse(const JSONValue& json, const std::string& agentID);
};

}  // namespace vela
