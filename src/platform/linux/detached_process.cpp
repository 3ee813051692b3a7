#include "platform/detached_process.h"

#include <cstring>

#include "platform/child_process.h"

namespace vela::platform {

Result<pid_t> spawnDetached(const std::string& path, const std::vector<std::string>& arguments) {
  // A new session keeps the child out of the agent's process group, so a stop signal
  // aimed at the agent's group does not end a scheduled shutdown or clean-up.
  ChildLaunch launch;
  launch.path = path;
  launch.arguments = arguments;
  launch.grouping = ChildLaunch::Grouping::ownSession;
  auto started = startChild(launch);
  if (!started) return fail(path + ": " + std::strerror(started.error()));
  // Nobody waits for the child's result, but it must not linger as a zombie while the
  // agent lives on (a refused shutdown, a long-lived test process).
  reapWhenEnded(*started);
  return *started;
}

}  // namespace vela::platform
