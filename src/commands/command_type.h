#pragma once

// The command types the agent knows, with their wire names. A type text outside this
// table has no CommandType; the executor answers it as unsupported.

#include <optional>
#include <string_view>

namespace vela {

enum class CommandType {
  collect_inventory,
  ping,
  run_script,
  service_control,
  reboot,
  shutdown,
  wake_on_lan,
  policy_push,
  uninstall,
};

// The wire name ("collect_inventory", "ping", ...).
std::string_view rawValue(CommandType type);
// Exact, case-sensitive match of a wire name.
std::optional<CommandType> commandTypeFromRawValue(std::string_view text);

}  // namespace vela
