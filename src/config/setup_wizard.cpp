#include "config/setup_wizard.h"

#include "config/filename_provisioning.h"
#include "util/log.h"
#include "util/url.h"
#include "util/utf8.h"

namespace vela::SetupWizard {
namespace {

constexpr std::string_view kServerHint =
    "set it in the filename (server-\u2026), env VELA_SERVER, or `--server`";
constexpr std::string_view kTokenHint =
    "set it in the filename (token-\u2026), env VELA_TOKEN, or `--token`";
constexpr std::string_view kRequiredAgain = "  \u21b3 required.\n";

ProvisioningInfo fromConfig(const AgentConfig& config) {
  ProvisioningInfo info;
  if (!config.serverBaseURL.empty()) info.serverBaseURL = config.serverBaseURL;
  info.tenantID = config.tenantID;
  info.customerID = config.customerID;
  info.enrollmentToken = config.enrollmentToken;
  info.channel = config.channel;
  info.source = ProvisioningInfo::kConfig;
  return info;
}

// Asks until `accept` yields a value. End of input can never produce an answer, so it
// ends the loop with nothing instead of spinning on a closed stream.
template <typename Accept>
std::optional<std::string> askRequired(platform::Terminal& terminal, std::string_view label,
                                       Accept accept) {
  for (;;) {
    terminal.write(std::string(label) + ": ");
    auto line = terminal.readLine();
    if (!line) {
      terminal.write("\n");
      return std::nullopt;
    }
    if (auto value = accept(*line)) return value;
    terminal.write(kRequiredAgain);
  }
}

}  // namespace

AgentError missingSetting(std::string_view label, std::string_view hint) {
  return AgentError("missing required setting: " + std::string(label) + ". " + std::string(hint) +
                    ", or run `vela-agent setup` interactively.");
}

ProvisioningInfo merged(const Flags& flags, const std::optional<std::string>& argv0,
                        const std::optional<AgentConfig>& existing) {
  ProvisioningInfo info;
  info.source = ProvisioningInfo::kDefaults;
  if (existing) info = info.overlaid(fromConfig(*existing));
  info = info.overlaid(FilenameProvisioning::fromEnvironment(FilenameProvisioning::processEnvironment()));
  info = info.overlaid(FilenameProvisioning::parseSelf(argv0));
  return info.overlaid(flags.asProvisioning());
}

std::optional<std::string> requireRecommended(const std::optional<std::string>& value,
                                              std::string_view label, bool interactive,
                                              platform::Terminal& terminal) {
  if (value && !value->empty()) return value;
  if (!interactive) {
    Log::warn(std::string(label) + " not provided (continuing; identity will be bound by enrollment token).");
    return value;
  }
  terminal.write(std::string(label) + " (optional, Enter to skip): ");
  auto line = terminal.readLine();
  if (!line) {
    terminal.write("\n");
    return value;
  }
  std::string answer(UTF8::trimWhitespace(*line));
  if (answer.empty()) return value;
  return answer;
}

Result<AgentConfig> resolveConfig(const Flags& flags, const std::optional<std::string>& argv0,
                                  platform::Terminal& terminal) {
  std::optional<AgentConfig> existing = AgentConfig::loadIfPresent();
  ProvisioningInfo info = merged(flags, argv0, existing);
  Log::info("Provisioning source: " + (info.source.empty() ? std::string("none") : info.source));
  const bool interactive = !flags.nonInteractive && terminal.isInteractive();

  std::optional<std::string> server = FilenameProvisioning::normalizeServer(info.serverBaseURL);
  if (!server && interactive) {
    server = askRequired(terminal, kServerLabel, [](const std::string& answer) {
      return FilenameProvisioning::normalizeServer(answer);
    });
  }
  if (!server) return tl::unexpected(missingSetting(kServerLabel, kServerHint));

  std::optional<std::string> tenant = requireRecommended(info.tenantID, kTenantLabel, interactive, terminal);
  std::optional<std::string> customer =
      requireRecommended(info.customerID, kCustomerLabel, interactive, terminal);

  std::optional<std::string> token = info.enrollmentToken;
  const bool enrolled = existing && existing->agentID.has_value();
  if (!enrolled && (!token || token->empty())) {
    if (interactive) {
      token = askRequired(terminal, kTokenLabel, [](const std::string& answer) -> std::optional<std::string> {
        std::string trimmed(UTF8::trimWhitespace(answer));
        if (trimmed.empty()) return std::nullopt;
        return trimmed;
      });
    } else {
      token.reset();
    }
    if (!token) return tl::unexpected(missingSetting(kTokenLabel, kTokenHint));
  }

  AgentConfig config = existing.value_or(AgentConfig{});
  config.serverBaseURL = *server;
  if (tenant) config.tenantID = tenant;
  if (customer) config.customerID = customer;
  if (token) config.enrollmentToken = token;
  if (info.channel) config.channel = *info.channel;
  return config;
}

ProvisioningInfo Flags::asProvisioning() const {
  ProvisioningInfo info;
  info.serverBaseURL = FilenameProvisioning::normalizeServer(serverBaseURL);
  info.tenantID = tenantID;
  info.customerID = customerID;
  info.enrollmentToken = enrollmentToken;
  info.channel = channel;
  info.source = info.isEmpty() ? "" : ProvisioningInfo::kFlags;
  return info;
}

}  // namespace vela::SetupWizard
