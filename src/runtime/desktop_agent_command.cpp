// `desktop-agent`: the per-user desktop helper, which lives in the desktop module.

#include "desktop/host/desktop_module.h"
#include "desktop/ipc/desktop_ipc.h"
#include "runtime/command_handlers.h"

namespace vela::CLI {

Result<int> desktopAgentCommand() {
  const DesktopServices* services = VELA_TRY(DesktopModule::services());
  return services->runSessionHelper(*services, DesktopIPC::socketPath());
}

}  // namespace vela::CLI
