#pragma once

// The outcome of one executed command, and the body that reports it to the control
// plane. A plain value.

#include <cstdint>
#include <optional>
#include <string>

#include "util/json_value.h"

namespace vela {

struct CommandResult {
  std::string agent_id;
  std::optional<std::string> command_id;
  std::int64_t sequence_no = 0;
  std::string type;
  int exit_code = 0;
  std::string result;
  std::string finished_at;  // ISO 8601 UTC, whole seconds

  // {"exit_code":<n>,"result":{"output":<text>,"type":<type>},"status":"done"|"failed"}
  JSONValue reportBody() const;

  bool operator==(const CommandResult&) const = default;
};

}  // namespace vela
