// `vela-agent setup [--enroll]`: interactive provisioning that writes config.json and
// optionally enrols right away.

#include "config/agent_paths.h"
#include "config/setup_wizard.h"
#include "platform/terminal.h"
#include "runtime/command_handlers.h"

namespace vela::CLI {
namespace {

// The one place setup hands over to enrolment.
Result<int> enrollNow() { return enrollCommand({}); }

}  // namespace

Result<int> setupCommand(Args args) {
  auto [flags, rest] = CLI::flags(std::move(args), /*interactiveDefault=*/true);
  const bool enroll = removeFlag(rest, "--enroll");

  AgentConfig config = VELA_TRY(SetupWizard::resolveConfig(flags, std::nullopt));
  VELA_TRY_VOID(config.save());

  platform::writeStandardOutput("Configuration written to " + AgentPaths::configFile() + "\n" +
                                "  server:   " + config.serverBaseURL + "\n" +
                                "  tenant:   " + config.tenantID.value_or("-") + "\n" +
                                "  customer: " + config.customerID.value_or("-") + "\n" +
                                "  channel:  " + config.channel + "\n");
  if (enroll) return enrollNow();
  if (!config.agentID) {
    platform::writeStandardOutput("\nNext: run `vela-agent enroll` (or install the daemon) to register.\n");
  }
  return 0;
}

}  // namespace vela::CLI
