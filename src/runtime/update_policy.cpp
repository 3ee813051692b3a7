#include "runtime/update_policy.h"

#include "util/agent_version.h"
#include "util/log.h"

namespace vela {

UpdatePolicy::UpdatePolicy(std::shared_ptr<UpdateChecker> checker, std::string channel,
                           std::string installedPath)
    : checker_(std::move(checker)), channel_(std::move(channel)), installedPath_(std::move(installedPath)) {}

Result<void> UpdatePolicy::checkAndMaybeApplyUpdate() {
  auto outcome = VELA_TRY(checker_->check(channel_, std::string(AgentVersion::current)));
  if (!outcome) {
    Log::debug("update check: up to date");
    return {};
  }
  if (installedPath_.empty() || !UpdateChecker::isProductionPath(installedPath_)) {
    if (!warnedNonProductionUpdate_) {
      Log::warn("update " + outcome->version +
                " available but install path is non-production; not downloading. Run from "
                "/usr/local or /opt to auto-update.");
      warnedNonProductionUpdate_ = true;
    }
    return {};
  }
  Log::info("update available: " + outcome->version);
  std::string staged = VELA_TRY(checker_->downloadAndVerify(*outcome));
  return checker_->applyAndRelaunch(staged, installedPath_);
}

}  // namespace vela
