// `desktop-agent`, the per-user desktop helper, and the window host: both live in the
// desktop module.

#include "desktop/host/desktop_module.h"
#include "desktop/ipc/desktop_ipc.h"
#include "runtime/command_handlers.h"
#include "util/log.h"

namespace vela::CLI {

Result<int> desktopAgentCommand() {
  const DesktopServices* services = VELA_TRY(DesktopModule::services());
  return services->runSessionHelper(*services, DesktopIPC::socketPath());
}

int windowHostCommand() {
  auto services = DesktopModule::services();
  if (!services) {
    Log::error("window host: " + services.error().message);
    return 1;
  }
  return (*services)->runWindowHost();
}

}  // namespace vela::CLI
