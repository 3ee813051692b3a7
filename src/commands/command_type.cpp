#include "commands/command_type.h"

#include <array>
#include <utility>

namespace vela {
namespace {

constexpr std::array<std::pair<CommandType, std::string_view>, 9> kNames{{
    {CommandType::collect_inventory, "collect_inventory"},
    {CommandType::ping, "ping"},
    {CommandType::run_script, "run_script"},
    {CommandType::service_control, "service_control"},
    {CommandType::reboot, "reboot"},
    {CommandType::shutdown, "shutdown"},
    {CommandType::wake_on_lan, "wake_on_lan"},
    {CommandType::policy_push, "policy_push"},
    {CommandType::uninstall, "uninstall"},
}};

}  // namespace

std::string_view rawValue(CommandType type) { return kNames[static_cast<std::size_t>(type)].second; }

std::optional<CommandType> commandTypeFromRawValue(std::string_view text) {
  for (const auto& [type, name] : kNames) {
    if (name == text) return type;
  }
  return std::nullopt;
}

}  // namespace vela
