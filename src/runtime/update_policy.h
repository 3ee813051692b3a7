#pragma once

// The daemon's install policy for self-updates: installs only when the running
// executable sits in a production location, warns once per process otherwise, and
// ends the process with status 0 after a successful swap so the service manager
// starts the new build. Used from the daemon loop's thread only.

#include <memory>
#include <string>

#include "update/update_checker.h"

namespace vela {

class UpdatePolicy {
 public:
  UpdatePolicy(std::shared_ptr<UpdateChecker> checker, std::string channel,
               std::string installedPath);

  Result<void> checkAndMaybeApplyUpdate();

 private:
  const std::shared_ptr<UpdateChecker> checker_;
  const std::string channel_;
  const std::string installedPath_;
  bool warnedNonProductionUpdate_ = false;
};

}  // namespace vela
