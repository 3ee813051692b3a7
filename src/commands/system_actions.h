#pragma once

// The actions of the command executor that reach beyond the agent to the whole
// machine: running the service manager, asking the package manager and logind what
// self-removal must undo, starting the detached shell that shuts the machine down or
// removes the agent, and ending the agent's own process. Tests replace this interface
// and look at what would have run; only live() touches the system. Implementations
// are called from the polling thread.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/shell.h"

namespace vela {

class SystemActions {
 public:
  virtual ~SystemActions() = default;

  // Runs a system tool to completion (the service manager), as Shell::run does.
  virtual Shell::Result runTool(const std::string& path, const std::vector<std::string>& arguments,
                                double timeoutSeconds) = 0;
  // Starts the program without waiting for it; output goes to the null device. False
  // when it could not be started.
  virtual bool spawnDetached(const std::string& path, const std::vector<std::string>& arguments) = 0;
  // Ends the process with `status` after `delay`, from a background thread, whatever
  // else is running then.
  virtual void scheduleExit(int status, std::chrono::milliseconds delay) = 0;
  // The Debian package that owns the file at `path` (dpkg -S), absent when none does.
  virtual std::optional<std::string> owningPackage(const std::string& path) = 0;
  // Names of the users with a login session.
  virtual std::vector<std::string> loggedInUsers() = 0;

  // The implementation that acts on this machine.
  static std::unique_ptr<SystemActions> live();

  // Under a service manager the service's processes are stopped together, so a
  // detached clean-up started from the service would die with it. There the program is
  // started as a transient unit of its own through systemd-run; elsewhere as it is.
  static std::pair<std::string, std::vector<std::string>> detachedLaunch(
      const std::string& path, const std::vector<std::string>& arguments, bool insideService);
  // The package that `dpkg -S <path>` printed for exactly `path`; diversion notes and
  // matches of other paths do not count.
  static std::optional<std::string> packageFromSearch(std::string_view output,
                                                      std::string_view path);
};

}  // namespace vela
