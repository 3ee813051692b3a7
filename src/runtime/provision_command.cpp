// `vela-agent provision [--from-file <provisioning.json> | --from-package <path> |
// --from-name <name>]`: non-interactive provisioning for deployment scripts.

#include "config/agent_paths.h"
#include "config/filename_provisioning.h"
#include "config/provisioning_payload.h"
#include "config/setup_wizard.h"
#include "platform/terminal.h"
#include "runtime/command_handlers.h"
#include "util/log.h"

namespace vela::CLI {
namespace {

void fill(std::optional<std::string>& flag, const std::optional<std::string>& value) {
  if (!flag) flag = value;
}

}  // namespace

Result<int> provisionCommand(Args args) {
  std::optional<std::string> document = removeOption(args, "--from-file");
  std::optional<std::string> package = removeOption(args, "--from-package");
  std::optional<std::string> name = removeOption(args, "--from-name");
  auto [flags, rest] = CLI::flags(std::move(args), /*interactiveDefault=*/false);

  // The command line's own options win over the document, the document over a name.
  std::optional<ProvisioningPayload> payload;
  if (document) {
    payload = VELA_TRY(ProvisioningPayload::readTrusted(*document));
    fill(flags.serverBaseURL, payload->server.empty() ? std::nullopt : std::optional(payload->server));
    fill(flags.tenantID, payload->tenant);
    fill(flags.customerID, payload->customer);
    fill(flags.enrollmentToken, payload->token);
    fill(flags.channel, payload->channel);
  }
  if (const auto& from = package ? package : name) {
    ProvisioningInfo parsed = FilenameProvisioning::parse(*from);
    fill(flags.serverBaseURL, parsed.serverBaseURL);
    fill(flags.tenantID, parsed.tenantID);
    fill(flags.customerID, parsed.customerID);
    fill(flags.enrollmentToken, parsed.enrollmentToken);
    fill(flags.channel, parsed.channel);
  }

  AgentConfig config = VELA_TRY(SetupWizard::resolveConfig(flags, std::nullopt));
  // The trust first: a configuration alone already lets the service start.
  if (payload) VELA_TRY_VOID(payload->applyPinnedMaterial());
  VELA_TRY_VOID(config.save());

  const std::string tenant = config.tenantID.value_or("-");
  const std::string customer = config.customerID.value_or("-");
  Log::info("Provisioned: server=" + config.serverBaseURL + " tenant=" + tenant + " customer=" + customer);
  platform::writeStandardOutput("Provisioned tenant=" + tenant + " customer=" + customer +
                                " server=" + config.serverBaseURL + "\n");
  if (payload && payload->carriesPinnedMaterial()) {
    platform::writeStandardOutput("Pinned trust written to " + AgentPaths::pinnedDir() + "\n");
  }
  return 0;
}

}  // namespace vela::CLI
