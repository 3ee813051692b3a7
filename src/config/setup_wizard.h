#pragma once

// Turns every provisioning source into one agent configuration. Precedence, later
// wins: an existing configuration, the environment, the program's own file name, the
// command-line flags. A person at a terminal is asked for what is still missing;
// without one, a missing server or token is an error naming where to supply it.
// Main-thread only (prompts read standard input).

#include <optional>
#include <string>
#include <string_view>

#include "config/agent_config.h"
#include "config/provisioning_info.h"
#include "config/setup_flags.h"
#include "platform/terminal.h"
#include "util/agent_error.h"

namespace vela::SetupWizard {

inline constexpr std::string_view kServerLabel = "Server base URL (e.g. https://rmm.example.com)";
inline constexpr std::string_view kTenantLabel = "Tenant ID";
inline constexpr std::string_view kCustomerLabel = "Customer/site ID";
inline constexpr std::string_view kTokenLabel = "One-time enrollment token";

// The layered settings; `existing` contributes its non-empty server and its optional
// settings with source "config".
ProvisioningInfo merged(const Flags& flags, const std::optional<std::string>& argv0,
                        const std::optional<AgentConfig>& existing);

// Loads the stored configuration (if any), merges, prompts when interactive, and builds
// the configuration to save. Fails with the missing-setting error for the server, or
// for the token of a device that never enrolled.
Result<AgentConfig> resolveConfig(const Flags& flags, const std::optional<std::string>& argv0,
                                  platform::Terminal& terminal = platform::standardTerminal());

// A recommended setting: a non-empty value stands; otherwise asks (interactive) or warns.
std::optional<std::string> requireRecommended(
    const std::optional<std::string>& value, std::string_view label, bool interactive,
    platform::Terminal& terminal = platform::standardTerminal());

// "missing required setting: <label>. <hint>, or run `vela-agent setup` interactively."
AgentError missingSetting(std::string_view label, std::string_view hint);

}  // namespace vela::SetupWizard
