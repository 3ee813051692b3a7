// Commands whose features are not part of this build yet. Each moves to its own file
// when its feature lands.

#include "runtime/command_handlers.h"

namespace vela::CLI {

Result<int> unavailable(std::string_view word) {
  return fail(std::string(word) + " is not available in this build");
}

Result<int> desktopAgentCommand() { return unavailable("desktop-agent"); }

}  // namespace vela::CLI
