// `vela-agent provision [--from-package <path> | --from-name <name>]`: non-interactive
// provisioning for deployment scripts.

#include "config/filename_provisioning.h"
#include "config/setup_wizard.h"
#include "platform/terminal.h"
#include "runtime/command_handlers.h"
#include "util/log.h"

namespace vela::CLI {

Result<int> provisionCommand(Args args) {
  std::optional<std::string> package = removeOption(args, "--from-package");
  std::optional<std::string> name = removeOption(args, "--from-name");
  auto [flags, rest] = CLI::flags(std::move(args), /*interactiveDefault=*/false);

  if (const auto& from = package ? package : name) {
    ProvisioningInfo parsed = FilenameProvisioning::parse(*from);
    auto fill = [](std::optional<std::string>& flag, const std::optional<std::string>& value) {
      if (!flag) flag = value;
    };
    fill(flags.serverBaseURL, parsed.serverBaseURL);
    fill(flags.tenantID, parsed.tenantID);
    fill(flags.customerID, parsed.customerID);
    fill(flags.enrollmentToken, parsed.enrollmentToken);
    fill(flags.channel, parsed.channel);
  }

  AgentConfig config = VELA_TRY(SetupWizard::resolveConfig(flags, std::nullopt));
  VELA_TRY_VOID(config.save());

  const std::string tenant = config.tenantID.value_or("-");
  const std::string customer = config.customerID.value_or("-");
  Log::info("Provisioned: server=" + config.serverBaseURL + " tenant=" + tenant + " customer=" + customer);
  platform::writeStandardOutput("Provisioned tenant=" + tenant + " customer=" + customer +
                                " server=" + config.serverBaseURL + "\n");
  return 0;
}

}  // namespace vela::CLI
