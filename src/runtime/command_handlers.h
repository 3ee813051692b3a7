#pragma once

// One handler per command word. Each returns the process exit status or an error that
// the dispatcher prints.

#include "runtime/cli.h"

namespace vela::CLI {

Result<int> setupCommand(Args args);
Result<int> provisionCommand(Args args);
Result<int> enrollCommand(Args args);
Result<int> runCommand(Args args);
Result<int> onceCommand(Args args);
Result<int> gatewayCommand(Args args);
Result<int> desktopProbeCommand(Args args);
Result<int> desktopAgentCommand();
// The window host of a session-serving process in a Wayland session (desktop_services.h).
int windowHostCommand();
Result<int> quickAssistCommand(Args args);
Result<int> statusCommand(Args args);
Result<int> doctorCommand(Args args);
Result<int> updateCommand(Args args);
Result<int> inventoryCommand();
Result<int> metricsCommand();
Result<int> provisionNameCommand(Args args);
Result<int> resetCommand(Args args);
Result<int> versionCommand(Args args);

}  // namespace vela::CLI
