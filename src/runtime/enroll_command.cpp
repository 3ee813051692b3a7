// `vela-agent enroll [global options]`: registers this device with the control plane on
// demand, after folding the options into the stored configuration.

#include <unistd.h>

#include "config/setup_wizard.h"
#include "enrollment/enrollment_service.h"
#include "net/pinned_trust.h"
#include "platform/terminal.h"
#include "runtime/command_handlers.h"

namespace vela::CLI {

Result<int> enrollCommand(Args args) {
  auto [flags, rest] =
      CLI::flags(std::move(args), /*interactiveDefault=*/::isatty(STDIN_FILENO) == 1);
  AgentConfig config = VELA_TRY(SetupWizard::resolveConfig(flags, std::nullopt));
  VELA_TRY_VOID(config.save());

  PinnedTrust trust = VELA_TRY(PinnedTrust::load());
  AgentConfig enrolled = VELA_TRY(EnrollmentService(std::move(trust)).enroll(config));
  platform::writeStandardOutput("Enrolled as agent " + enrolled.agentID.value_or("?") + "\n");
  return 0;
}

}  // namespace vela::CLI
